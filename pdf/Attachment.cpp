// Finding an attached file by its name in the document's /EmbeddedFiles name tree, as a
// verifier reads it back: its bytes, whether the catalog lists it among its associated files,
// and where the objects that hold it are written, to tell which signature covers it.

#include <qpdf/QPDFNameTreeObjectHelper.hh>

#include <algorithm>

#include "penwell/pdf/Document.h"
#include "penwell/pdf/Seal.h"
#include "penwell/pdf/SignedData.h"
#include "penwell/pdf/Values.h"

namespace penwell::pdf {

namespace {

/// Why the stated /Params /Size and /CheckSum are not those of `bytes`; empty when they are
/// (or are not stated).
std::string paramsProblem(QPDFObjectHandle params, const Bytes& bytes) {
    QPDFObjectHandle size = keyOf(params, "/Size");
    if (size.isInteger() && size.getIntValue() != static_cast<long long>(bytes.size())) {
        return "its /Size is " + std::to_string(size.getIntValue()) + ", its bytes are " +
               std::to_string(bytes.size());
    }
    QPDFObjectHandle checksum = keyOf(params, "/CheckSum");
    if (checksum.isString() && checksum.getStringValue() != cms::md5(bytes)) {
        return "its /CheckSum is not the MD5 of its bytes";
    }
    return {};
}

}  // namespace

Result<std::optional<Attachment>> findAttachment(ByteView file, const std::string& name,
                                                 const std::string& fileName) {
    Result<std::shared_ptr<QPDF>> opened = openDocument(file, name);
    if (!opened) {
        return opened.error();
    }
    QPDF& qpdf = **opened;
    try {
        QPDFObjectHandle root = qpdf.getRoot();
        QPDFObjectHandle tree = keyOf(keyOf(root, "/Names"), "/EmbeddedFiles");
        QPDFObjectHandle spec;
        if (!tree.isDictionary() || !QPDFNameTreeObjectHelper(tree, qpdf).findObject(fileName, spec)) {
            return std::optional<Attachment>();
        }
        QPDFObjectHandle holder = keyOf(spec, "/EF");
        QPDFObjectHandle stream = keyOf(holder, "/UF");
        if (!stream.isStream()) {
            stream = keyOf(holder, "/F");
        }
        if (!stream.isStream()) {
            return fail(PdfErrorKind::Unreadable, name,
                        "its attachment " + fileName + " holds no embedded file");
        }
        QPDFObjectHandle declared = stream.getDict().getKey("/Length");
        if (!declared.isInteger() || declared.getIntValue() < 0 ||
            static_cast<std::uint64_t>(declared.getIntValue()) > kMaxAttachedBytes) {
            return fail(PdfErrorKind::TooLarge, name,
                        "its attachment " + fileName + " is over 64 MiB or has no length");
        }
        // Written as it is; a filter could inflate a few bytes into gigabytes.
        if (!stream.getDict().getKey("/Filter").isNull()) {
            return fail(PdfErrorKind::Unreadable, name,
                        "its attachment " + fileName + " is filtered, not stored as it is");
        }
        Attachment found;
        const std::shared_ptr<Buffer> data = stream.getRawStreamData();
        found.bytes.assign(data->getBuffer(), data->getBuffer() + data->getSize());
        found.problem = paramsProblem(stream.getDict().getKey("/Params"), found.bytes);
        QPDFObjectHandle files = keyOf(root, "/AF");
        for (int i = 0; files.isArray() && i < files.getArrayNItems(); ++i) {
            found.associated = found.associated ||
                               (spec.isIndirect() && files.getArrayItem(i).getObjGen() == spec.getObjGen());
        }
        // A direct value is written in the object that holds it: the name tree's node, which
        // a later update could replace by another with another file. Hence every object on
        // the way counts, from the tree's node (found again by what reaches the file) down.
        const std::map<QPDFObjGen, QPDFXRefEntry> xref = qpdf.getXRefTable();
        for (QPDFObjectHandle object : {tree, spec, holder, stream}) {
            if (object.isIndirect()) {
                const std::optional<std::uint64_t> at = offsetOf(xref, object.getObjGen());
                found.writtenAt = std::max(found.writtenAt, at.value_or(file.size()));
            }
        }
        return std::optional<Attachment>(std::move(found));
    } catch (const std::exception& e) {
        return needsRepair(name, e.what());
    }
}

}  // namespace penwell::pdf
