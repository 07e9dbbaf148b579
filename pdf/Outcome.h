#pragma once
// The value-or-error type of the PDF library: every call that can fail returns an Outcome that
// holds either its value or a PdfError, whose message is one line naming the input at fault.
// Callers print the message; they never work out the reason again.

#include <string>
#include <utility>
#include <variant>

namespace penwell::pdf {

enum class PdfErrorKind {
    TooLarge,     ///< the document is over kMaxDocumentBytes
    Unreadable,   ///< not a PDF qpdf can parse
    NeedsRepair,  ///< qpdf reads it only by repairing it
    Encrypted,    ///< an encrypted document
    NoSuchPage,   ///< --page beyond the document
    NoSuchField,  ///< --field names no field
    NotSignatureField,
    AlreadySigned,  ///< the field holds a signature already
    BadRect,        ///< a rectangle of no area, not finite, or off the page
    BadText,        ///< --reason, --location or --name too long
    SigningKey,     ///< the key or certificate cannot sign
    Evidence,       ///< the evidence source or opener failed
    Appearance,     ///< the ink's picture is not a one-page PDF
    Certified,      ///< the document's certification or a signature's lock forbids the change
};

struct PdfError {
    PdfErrorKind kind;
    std::string message;
};

template <typename T>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) : state_(std::move(value)) {}
    Outcome(PdfError error) : state_(std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const PdfError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, PdfError> state_;
};

inline PdfError fail(PdfErrorKind kind, std::string message) {
    return {kind, std::move(message)};
}

}  // namespace penwell::pdf
