#pragma once
// The outer, optional layer of an evidence record: the capture station's signature over the
// sealed record. Private to the receiver.

#include <openssl/cms.h>

#include "penwell/platform/Result.h"
#include "penwell/receiver/OpenEvidence.h"

namespace penwell::receiver::internal {

/// Checks the SignedData `cms`: its signature always, its signer against options.trusted when
/// that is not empty. Fills the signer fields of `opened` and answers the signed content (the
/// sealed record's DER), or the refusal naming options.name.
Result<Bytes> checkOperator(CMS_ContentInfo* cms, const OpenOptions& options,
                            OpenedEvidence& opened);

}  // namespace penwell::receiver::internal
