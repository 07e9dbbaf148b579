// B-LT: the validation data gathered (ValidationData.cpp) written into the catalog's /DSS by
// an appended incremental update of the kind the input ends with.

#include "penwell/pdf/LongTerm.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <chrono>
#include <map>
#include <optional>
#include <set>

#include "penwell/pdf/Document.h"
#include "penwell/pdf/SignedData.h"
#include "penwell/pdf/SignedUpdate.h"
#include "penwell/pdf/Update.h"
#include "penwell/pdf/ValidationData.h"

namespace penwell::pdf {

namespace {

/// The /Contents of every signature and document time-stamp, in the order of their fields.
std::vector<std::string> signatureContents(QPDF& qpdf) {
    std::vector<std::string> out;
    QPDFAcroFormDocumentHelper form(qpdf);
    for (QPDFFormFieldObjectHelper field : form.getFormFields()) {
        QPDFObjectHandle value = field.getValue();
        if (field.getFieldType() == "/Sig" && value.isDictionary() &&
            value.getKey("/Contents").isString()) {
            out.push_back(value.getKey("/Contents").getStringValue());
        }
    }
    return out;
}

/// The digests of the streams of an existing /DSS array, so nothing is stored twice.
std::set<Sha256> digestsOf(QPDFObjectHandle array) {
    std::set<Sha256> out;
    for (int i = 0; array.isArray() && i < array.getArrayNItems(); ++i) {
        QPDFObjectHandle item = array.getArrayItem(i);
        if (item.isStream()) {
            std::shared_ptr<Buffer> data = item.getStreamData(qpdf_dl_all);
            out.insert(cms::sha256({ByteView(data->getBuffer(), data->getSize())}));
        }
    }
    return out;
}

/// Room reserved beside the copied input for the /DSS and a document time-stamp: answers and
/// certificates of a few KiB each. A CRL of a large CA costs one more copy.
constexpr std::size_t kRoomForUpdates = 64u << 10;

/// The update written, and the number after its last new object.
struct Appended {
    UpdateText text;
    int end = 0;
};

/// An update appended to `file`, the input `base` was opened on: what a validator needs for
/// every signature the document holds, and for `made`, one just appended that qpdf's model
/// does not hold (nil: none), from its certificates as they were read.
Result<Appended> appendValidationData(Bytes& file, const std::string& inName,
                                      const UpdateBase& base, const ValidationSources& sources,
                                      const cms::ReadSigners* made) {
    QPDF& qpdf = *base.qpdf;
    Appended out;
    try {
        const std::vector<std::string> contents = signatureContents(qpdf);
        std::vector<ByteView> signatures;
        for (const std::string& c : contents) {
            signatures.push_back(asBytes(c));
        }
        if (signatures.empty() && made == nullptr) {
            return fail(PdfErrorKind::Validation, inName, "has no signature to keep data for");
        }
        Result<ValidationData> data = gatherValidationData(signatures, sources, made);
        if (!data) {
            return data.error();
        }
        NewObjects objects(qpdf, static_cast<int>(base.first));
        QPDFObjectHandle root = qpdf.getRoot();
        QPDFObjectHandle old = root.getKey("/DSS");
        QPDFObjectHandle dss =
            old.isDictionary() ? old.shallowCopy() : QPDFObjectHandle::newDictionary();
        dss.replaceKey("/Type", QPDFObjectHandle::newName("/DSS"));
        std::map<QPDFObjGen, std::string> texts;
        for (const auto& [key, items] :
             {std::pair{"/Certs", &data->certificates}, std::pair{"/OCSPs", &data->ocsp},
              std::pair{"/CRLs", &data->crls}}) {
            QPDFObjectHandle kept = dss.getKey(key);
            QPDFObjectHandle array =
                kept.isArray() ? kept.shallowCopy() : QPDFObjectHandle::newArray();
            const std::set<Sha256> have = digestsOf(kept);
            for (const Bytes& item : *items) {
                if (have.count(cms::sha256({item})) == 0) {
                    // A number for the stream; its text is written here, not by qpdf.
                    QPDFObjectHandle stream = objects.dictionary(QPDFObjectHandle::newDictionary());
                    std::string& text = texts[stream.getObjGen()];
                    text = std::to_string(stream.getObjectID()) + " 0 obj\n<< /Length " +
                           std::to_string(item.size()) + " >>\nstream\n";
                    text.append(item.begin(), item.end());
                    text += "\nendstream\nendobj\n";
                    array.appendItem(stream);
                }
            }
            if (array.getArrayNItems() > 0) {
                dss.replaceKey(key, array);
            }
        }
        QPDFObjectHandle dssObject = objects.dictionary(dss);
        root.replaceKey("/DSS", dssObject);
        texts[dssObject.getObjGen()] = objectText(dssObject);
        texts[root.getObjGen()] = objectText(root);
        out.text = updateText(qpdf, ByteView(file), base, texts,
                              pdfDate(std::chrono::system_clock::now()));
        out.end = objects.end();
        if (qpdf.anyWarnings()) {
            return needsRepair(inName, "qpdf warns while reading its objects");
        }
    } catch (const std::exception& e) {
        return needsRepair(inName, e.what());
    }
    file.insert(file.end(), out.text.body.begin(), out.text.body.end());
    return out;
}

/// The /DSS, and with `archive` a document time-stamp over it, appended to `file` (the input
/// `base` was opened on), chained on the one qpdf so that the file is not read again.
MaybeFailure raise(Bytes& file, const std::string& inName, const UpdateBase& base,
                   const ValidationSources& sources, const TimestampAuthority* archive,
                   const cms::ReadSigners* made) {
    Result<Appended> added = appendValidationData(file, inName, base, sources, made);
    if (!added) {
        return added.error();
    }
    if (archive != nullptr) {
        const UpdateBase next = chainedBase(base, added->text, added->end);
        if (Result<UpdateText> stamped = appendDocumentTimestamp(file, inName, next, *archive);
            !stamped) {
            return stamped.error();
        }
    }
    return std::nullopt;
}

/// `in` opened for an update and copied once, with room for the updates to come, then raised.
Result<Bytes> raiseCopy(ByteView in, const std::string& inName, const ValidationSources& sources,
                        const TimestampAuthority* archive) {
    Result<UpdateBase> base = openForUpdate(in, inName);
    if (!base) {
        return base.error();
    }
    Bytes file;
    file.reserve(in.size() + kRoomForUpdates);
    file.assign(in.begin(), in.end());
    if (MaybeFailure failed = raise(file, inName, *base, sources, archive, nullptr)) {
        return *failed;
    }
    return file;
}

/// What a signature's update hands on: the /DSS and the document time-stamp of `level`.
AfterSignature raising(const std::string& inName, const LongTermLevel& level) {
    return
        [&inName, &level](Bytes& file, const UpdateBase& next, const cms::ReadSigners& signature) {
            return raise(file, inName, next, level.sources,
                         level.archive ? &*level.archive : nullptr, &signature);
        };
}

}  // namespace

Result<Bytes> addValidationData(ByteView in, const std::string& inName,
                                const ValidationSources& sources) {
    return raiseCopy(in, inName, sources, nullptr);
}

Result<Bytes> addValidationDataAndTimestamp(ByteView in, const std::string& inName,
                                            const ValidationSources& sources,
                                            const TimestampAuthority& tsa) {
    return raiseCopy(in, inName, sources, &tsa);
}

Result<Bytes> signPdf(ByteView in, const std::string& inName, const SignRequest& request,
                      const SigningIdentity& identity, const LongTermLevel& level) {
    return signPdfThen(in, inName, request, identity, raising(inName, level));
}

Result<Bytes> sealPdf(ByteView in, const std::string& inName, const SealRequest& request,
                      const SigningIdentity& identity, const LongTermLevel& level) {
    return sealPdfThen(in, inName, request, identity, raising(inName, level));
}

}  // namespace penwell::pdf
