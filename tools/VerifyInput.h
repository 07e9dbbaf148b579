#pragma once
// Signatures for the verifier (verify/) from what the tool reads: a controller's finished
// strokes, a received record, a trace replayed through a real controller, or a file of one of
// those kinds.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "penwell/capture/Sample.h"
#include "penwell/receiver/Record.h"
#include "penwell/verify/Signature.h"

namespace penwell::tools {

/// The strokes as the verifier takes them; a record does not keep the pauses between
/// strokes, so no stroke carries its start.
verify::Signature signatureOf(const std::vector<Stroke>& lines, std::string name);

/// A decoded record's strokes: signed positions, pressure from thousandths.
verify::Signature signatureOf(const receiver::PointRecord& record, std::string name);

/// What a trace leaves in the controller: it is replayed headless, so the signature is exactly
/// the strokes a record of it would hold (before the record's rounding). Throws ToolError.
verify::Signature signatureOfTrace(const std::filesystem::path& trace);

/// A signature file by its name: NAME.json is a trace; NAME.data is a record, whose wrapped
/// key is NAME.key beside it; NAME.evidence is an evidence record. The last two need the
/// receiver's private key. Throws ToolError
/// naming the file for anything else or anything unreadable.
verify::Signature loadSignature(const std::filesystem::path& file,
                                const std::optional<std::filesystem::path>& privateKey);

/// Whether loadSignature reads files of this name (a wrapped key file is not a signature).
bool isSignatureFile(const std::filesystem::path& file);

}  // namespace penwell::tools
