// penwell cert: make a deployer's certificate, or show one.

#include <sys/stat.h>

#include "penwell/host/common/Sealing.h"
#include "penwell/secure/KeyWrap.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/receiver/Limits.h"
#include "penwell/tools/CertificateTool.h"
#include "penwell/tools/Commands.h"
#include "penwell/tools/ToolError.h"

namespace penwell::tools {

// The libraries under the commands: they answer failures as values, must() prints them.
using namespace penwell::filesystem;
using namespace penwell::receiver;

namespace {

void printPin(const std::string& sha1, const std::filesystem::path& certificate,
              std::ostream& out) {
    // The build installs the resource and refuses one whose SHA-1 is not the pin, so both
    // settings go together.
    out << "pin it when configuring the build:\n"
        << "  cmake --preset default -DPENWELL_PINNED_SHA1=" << sha1
        << " -DPENWELL_RESOURCE_FILE=" << std::filesystem::absolute(certificate).string() << "\n";
}

}  // namespace

int runCertNew(const CertNewOptions& options, std::ostream& out) {
    if (options.bits < 1024 || options.bits > 16384) {
        throw UsageError("--bits: " + std::to_string(options.bits) + " is outside 1024..16384");
    }
    if (options.days < 1) {
        throw UsageError("--days: " + std::to_string(options.days) + " is not a positive number");
    }
    OutputFolder folder = must(OutputFolder::create(options.out));
    const bool signing = options.operatorPair;
    const auto certificatePath =
        options.out / (signing ? kOperatorCertificateFileName : kCertificateFileName);
    const auto keyPath = options.out / (signing ? kOperatorKeyFileName : kPrivateKeyFileName);
    // Replacing a deployed key pair by accident would orphan every record wrapped for it.
    if (!options.force) {
        for (const auto& path : {certificatePath, keyPath}) {
            std::error_code error;
            if (std::filesystem::exists(path, error)) {
                throw ToolError(path.string() + ": already exists (use --force to replace it)");
            }
        }
    }

    const NewCertificate made =
        signing ? makeSelfSignedCertificate(options.bits, options.days, options.name,
                                            CertificateUse::signing)
                : makeSelfSignedCertificate(options.bits, options.days, defaultPin().label);
    const CertificateInfo info = describeCertificate(made.der, certificatePath.string());

    StagedOutputs outputs;
    if (signing) {
        // PEM, which openssl cms -verify -CAfile and penwell open --trust both read.
        must(outputs.stage(certificatePath, asBytes(certificatePem(made.der)), 0644));
        must(outputs.stage(keyPath, asBytes(made.privateKeyPem), S_IRUSR | S_IWUSR, true));
        must(outputs.commitAll());
        folder.keep();
        out << "wrote " << certificatePath.string() << " (operator certificate, " << info.subject
            << ", for signing evidence, valid until " << info.notAfter << ")\n";
        out << "wrote " << keyPath.string() << " (operator key, mode 0600: for trials only)\n";
        return 0;
    }
    must(outputs.stage(certificatePath, made.der, 0644));
    must(outputs.stage(keyPath, asBytes(made.privateKeyPem), S_IRUSR | S_IWUSR, true));
    must(outputs.commitAll());
    folder.keep();

    out << "wrote " << certificatePath.string() << " (certificate, DER, " << info.subject << ", "
        << info.keyType << "-" << info.keyBits << ", valid until " << info.notAfter << ")\n";
    out << "wrote " << keyPath.string()
        << " (private key, mode 0600: keep it with the receiver, never in the app)\n";
    out << "SHA-1 fingerprint: " << info.sha1 << "\n";
    printPin(info.sha1, certificatePath, out);
    return 0;
}

int runCertShow(const std::filesystem::path& file, std::ostream& out) {
    const CertificateInfo info =
        describeCertificate(must(readFile(file, kMaxKeyBytes, "a certificate")), file.string());
    out << file.string() << ":\n";
    if (info.sha1 == host::kDemoCertificateSha1) {
        out << "  THE DEMO CERTIFICATE: its private key is public (demo-certificate/); anyone can\n"
            << "  open what it seals. For tests and trials only (--demo), never for signatures.\n";
    }
    out << "  subject:     " << info.subject << "\n";
    out << "  summary:     " << (info.commonName.empty() ? info.subject : info.commonName)
        << (info.commonName == defaultPin().label
                ? ""
                : "  (not " + defaultPin().label + ": this build refuses it as Penwell.dat)")
        << "\n";
    out << "  issuer:      " << (info.selfIssued ? "self-signed" : info.issuer) << "\n";
    out << "  key:         " << info.keyType << " " << info.keyBits << " bits"
        << (info.keyType == "RSA" ? "" : "  (not RSA: Penwell cannot wrap keys with it)") << "\n";
    out << "  valid from:  " << info.notBefore << "\n";
    out << "  valid until: " << info.notAfter << "\n";
    out << "  SHA-1:       " << info.sha1 << "\n";
    out << "  DER size:    " << info.der.size() << " bytes\n";
    printPin(info.sha1, file, out);
    return 0;
}

}  // namespace penwell::tools
