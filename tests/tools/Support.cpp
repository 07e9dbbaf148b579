#include "Support.h"

namespace penwell::tools::testing {

const NewCertificate& receiverCertificate() {
    static const NewCertificate made = makeSelfSignedCertificate(2048, 30);
    return made;
}

}  // namespace penwell::tools::testing
