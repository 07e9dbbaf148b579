#include "penwell/tools/VerifyCli.h"

#include <iostream>
#include <memory>

#include "penwell/tools/VerifyCommand.h"
#include "penwell/verify/Template.h"

namespace penwell::tools {

void addVerifyCommand(CLI::App& app, std::function<int()>& action) {
    struct Options {
        VerifyEnrolOptions enrol;
        VerifyCheckOptions check;
        double threshold = 0.0;
        VerifyEvalOptions eval;
        VerifySynthOptions synth;
    };
    static Options o;  // CLI11 keeps pointers to these until the program ends

    auto* verifyCmd = app.add_subcommand(
        "verify", "Verify a signature against the signer's enrolled ones (docs/verification.md)");
    verifyCmd->require_subcommand(1);

    auto* enrolCmd = verifyCmd->add_subcommand(
        "enrol", "Make a template from 3 or more reference signatures (5 recommended)");
    enrolCmd->add_option("--out", o.enrol.out, "template file to write (mode 0600)")->required();
    enrolCmd
        ->add_option("REF", o.enrol.references,
                     "reference signatures: traces (NAME.json), records (NAME.data with "
                     "NAME.key beside it) or evidence records (NAME.evidence)")
        ->required();
    enrolCmd->add_option("--private-key", o.enrol.privateKey,
                         "receiver's private key (PEM), for records and evidence");
    enrolCmd->add_flag("--allow-mixed-kinds", o.enrol.allowMixedKinds,
                       "accept pen and finger references together (compared without pressure)");
    enrolCmd->add_option("--recipient", o.enrol.recipients,
                         "seal the template for this certificate, as evidence is sealed; verify "
                         "check then needs its --private-key (repeatable)")
        ->allow_extra_args(false);  // one file each time: never the command's arguments
    enrolCmd->add_flag("--demo", o.enrol.demo,
                       "allow the demo certificate, whose private key is public, as recipient");
    enrolCmd->callback(
        [&] { action = [] { return runVerifyEnrol(o.enrol, std::cout, std::cerr); }; });

    auto* checkCmd = verifyCmd->add_subcommand(
        "check", "Check a signature against a template: exit 0 accept, 1 reject, 2 error");
    checkCmd->add_option("TEMPLATE", o.check.templateFile, "template from verify enrol")
        ->required();
    checkCmd
        ->add_option("QUERY", o.check.query,
                     "the signature: a trace, a record or an evidence record")
        ->required();
    auto* thresholdOpt = checkCmd->add_option(
        "--threshold", o.threshold,
        "accept scores at or below this (default " + std::to_string(verify::kDefaultThreshold) +
            " with pressure, " + std::to_string(verify::kDefaultThresholdWithoutPressure) +
            " without)");
    checkCmd->add_option("--private-key", o.check.privateKey,
                         "receiver's private key, for a record, evidence or a sealed template");
    checkCmd->add_flag("--json", o.check.json, "print the verdict as JSON");
    checkCmd->callback([&, thresholdOpt] {
        action = [thresholdOpt] {
            if (thresholdOpt->count() > 0) {
                o.check.threshold = o.threshold;
            }
            return runVerifyCheck(o.check, std::cout, std::cerr);
        };
    });

    auto* evalCmd = verifyCmd->add_subcommand(
        "eval", "Error rates over DIR/<signer>/genuine/* and DIR/<signer>/forgery/*");
    evalCmd->add_option("DIR", o.eval.folder, "folder of signers")->required();
    evalCmd
        ->add_option("--references", o.eval.references,
                     "references drawn from each signer's first 10 genuine signatures")
        ->check(CLI::Range(3, 10))
        ->capture_default_str();
    evalCmd->add_option("--draws", o.eval.draws, "random draws of references per signer")
        ->check(CLI::Range(1, 100))
        ->capture_default_str();
    evalCmd->add_option("--seed", o.eval.seed, "seed of the draws")->capture_default_str();
    evalCmd->add_flag("--no-pressure", o.eval.withoutPressure,
                      "finger results only (pressure dropped everywhere); by default pen "
                      "results too when the signatures carry pressure");
    evalCmd->add_option("--det", o.eval.det, "write the DET plot here (SVG)");
    evalCmd->add_option("--private-key", o.eval.privateKey,
                        "receiver's private key (PEM), for records and evidence");
    evalCmd->add_flag("--json", o.eval.json, "print the figures as JSON");
    evalCmd->callback([&] { action = [] { return runVerifyEval(o.eval, std::cout, std::cerr); }; });

    auto* synthCmd = verifyCmd->add_subcommand(
        "synth",
        "Write synthetic signers as traces, for eval: genuine signatures in two sessions and "
        "skilled forgeries built to match a real tablet set's figures, which it prints beside "
        "its own (docs/verification.md)");
    synthCmd->add_option("--out", o.synth.out, "folder for <signer>/genuine and /forgery")
        ->required();
    synthCmd->add_option("--signers", o.synth.signers, "how many signers")
        ->check(CLI::Range(1, 1000))
        ->capture_default_str();
    synthCmd->add_option("--genuine", o.synth.genuine, "genuine signatures per signer")
        ->check(CLI::Range(1, 100))
        ->capture_default_str();
    synthCmd->add_option("--forgeries", o.synth.forgeries, "skilled forgeries per signer")
        ->check(CLI::Range(0, 100))
        ->capture_default_str();
    synthCmd->add_option("--seed", o.synth.seed, "seed of the generator")->capture_default_str();
    synthCmd->add_flag("--finger", o.synth.finger, "finger signatures, without pressure");
    synthCmd->callback([&] { action = [] { return runVerifySynth(o.synth, std::cout); }; });
}

}  // namespace penwell::tools
