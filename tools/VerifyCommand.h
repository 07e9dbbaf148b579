#pragma once
// `penwell verify`: enrol a signer's reference signatures into a template, check a signature
// against one, evaluate the verifier over a folder of signers, and write synthetic signers.
// Like the other commands, each returns the exit code and throws ToolError for what it cannot
// do, except runVerifyCheck (below).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <ostream>
#include <vector>

namespace penwell::tools {

struct VerifyEnrolOptions {
    std::filesystem::path out;                      ///< the template; written 0600
    std::vector<std::filesystem::path> references;  ///< traces or records
    std::optional<std::filesystem::path> privateKey;
    bool allowMixedKinds = false;
    /// When given, the template is sealed for these certificates as an evidence record is
    /// (CMS AuthEnvelopedData), and `verify check` opens it with one of their keys.
    std::vector<std::filesystem::path> recipients;
    bool demo = false;  ///< the demo certificate may be a recipient
};
/// A warning for a demo recipient goes to `err`.
int runVerifyEnrol(const VerifyEnrolOptions& options, std::ostream& out,
                   std::ostream& err = std::cerr);

struct VerifyCheckOptions {
    std::filesystem::path templateFile;
    std::filesystem::path query;
    std::optional<std::filesystem::path> privateKey;
    std::optional<double> threshold;
    bool json = false;
};
/// 0 when the query is accepted, 1 when rejected, 2 (with one line on `err`) when it cannot be
/// checked at all, so a script never takes a failure for a rejection.
int runVerifyCheck(const VerifyCheckOptions& options, std::ostream& out, std::ostream& err);

struct VerifyEvalOptions {
    std::filesystem::path folder;  ///< <signer>/genuine/*, optionally <signer>/forgery/*
    std::size_t references = 5;
    std::size_t draws = 10;
    std::uint64_t seed = 1;
    bool withoutPressure = false;  ///< finger results only
    std::optional<std::filesystem::path> privateKey;
    bool json = false;
    std::optional<std::filesystem::path> det;  ///< where to write the DET plot (SVG)
};
/// Prints pen results (pressure used) when the signatures carry pressure, and finger results
/// (pressure removed); writes the DET plot when asked.
int runVerifyEval(const VerifyEvalOptions& options, std::ostream& out, std::ostream& err);

struct VerifySynthOptions {
    std::filesystem::path out;
    std::size_t signers = 40;
    std::size_t genuine = 20;
    std::size_t forgeries = 20;
    std::uint64_t seed = 1;
    bool finger = false;  ///< no pressure: finger traces
};
/// Writes <out>/<signer>/genuine/NN.json and <out>/<signer>/forgery/NN.json traces, then prints
/// the set's figures beside the tablet set's it is built to match (verify/SetFigures.h).
int runVerifySynth(const VerifySynthOptions& options, std::ostream& out);

}  // namespace penwell::tools
