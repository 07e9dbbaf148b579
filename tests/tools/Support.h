#pragma once
// What the tool tests share: the test support's files and sealed exports, and a receiver's key
// pair made at run time by the tool's own certificate code.

#include "support/CertificateFixtures.h"
#include "tools/CertificateTool.h"

namespace penwell::tools::testing {

using test::listFolder;
using test::readText;
using test::seal;
using test::Sealed;
using test::wrapWithCertificate;
using test::writeFile;

/// A key pair made once per test program (RSA keys take a moment to generate).
const NewCertificate& receiverCertificate();

}  // namespace penwell::tools::testing
