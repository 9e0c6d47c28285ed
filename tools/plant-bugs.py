#!/usr/bin/env python3
"""Plants one bug at a time in the readings service and its sinks, and checks that a test fails.

For each mutation below: apply it (the fragment must occur exactly once), build what the tests
need, run the tests most likely to catch it (each test binary with the functions named), count
it killed when one fails, hangs or crashes, and put the file back (git checkout). A mutant that
does not build is no valid mutant and is reported as such. The tests are run once on the
unchanged tree first: one that fails there says nothing about a mutant, and stops the campaign.

    tools/plant-bugs.py                 # every mutation
    tools/plant-bugs.py P3 S7           # only these
    tools/plant-bugs.py --list          # the table of mutations, nothing run

Builds in $BUILD_DIR (build-campaign by default); the results go to $BUILD_DIR/plant-bugs.tsv.
"""

import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("BUILD_DIR", os.path.join(ROOT, "build-campaign"))

# The tests a mutant is run against: a test binary and the functions of it, cheapest first.
TEXT = ("test_readings_text", ["plausibility"])


def cli(*functions):
    return ("test_cli", list(functions))


CHAOS = ("test_chaos", [])
MQTT_SETTINGS = ("test_mqtt", ["settingsOnlyWhenAllowed"])

# (id, file, original fragment, replacement, what a developer got wrong, tests)
MUTATIONS = [
    # The plausibility check.
    ("P1", "poller/Plausibility.cpp", "if (next.values[size_t(field)] < before - step)",
     "if (next.values[size_t(field)] <= before - step)",
     "a counter one float step lower counts as lower (< vs <=)", [TEXT]),
    ("P2", "poller/Plausibility.cpp", "if (next.values[size_t(field)] < before - step)",
     "if (next.values[size_t(field)] < before)", "the float step ignored", [TEXT]),
    ("P3", "poller/Plausibility.cpp", "next.values[size_t(i)] > baseline_.values[size_t(i)]))",
     "next.values[size_t(i)] < baseline_.values[size_t(i)]))",
     "the baseline keeps each counter's lowest, not its highest (baseline not raised)", [TEXT]),
    ("P4", "poller/Plausibility.cpp", "run_ = run_ > 0 && !Lower(next, candidate_) ? run_ + 1 : 1;",
     "run_ = run_ > 0 && !Lower(next, candidate_) ? run_ + 1 : 0;",
     "a run of lower readings starts at 0, not 1", [TEXT]),
    ("P5", "poller/Plausibility.cpp", "if (run_ < NewBaselineAfter)", "if (run_ <= NewBaselineAfter)",
     "a replaced meter taken after four readings, not three", [TEXT]),
    ("P6", "poller/Plausibility.cpp", "        haveBaseline_ = true;\n        run_ = 0;\n",
     "        haveBaseline_ = true;\n",
     "a plausible reading does not end a run of lower ones", [TEXT]),
    ("P7", "poller/Plausibility.cpp", "!std::isfinite(row.fields[size_t(i)])",
     "std::isnan(row.fields[size_t(i)])", "only NaN refused, infinity passes", [TEXT]),
    ("P8", "poller/Plausibility.cpp", "constexpr int CounterFields[] = {1, 2, 5, 6, 8, 11, 12};",
     "constexpr int CounterFields[] = {1, 2, 5, 6, 11, 12};", "the gas counter left out", [TEXT]),
    ("P9", "poller/Plausibility.cpp", "constexpr int CounterFields[] = {1, 2, 5, 6, 8, 11, 12};",
     "constexpr int CounterFields[] = {0, 1, 2, 5, 6, 8, 11, 12};",
     "import power taken for a counter", [TEXT]),
    ("P10", "poller/Plausibility.cpp",
     "if (row.state != ReadingsRow::Received)\n        return true;",
     "if (row.state != ReadingsRow::Received)\n        return false;",
     "a failed reading judged implausible", [TEXT]),
    ("P11", "poller/Plausibility.cpp", "    baseline_ = next;\n    run_ = 0;\n    return true;",
     "    run_ = 0;\n    return true;",
     "a replaced meter accepted once but not made the baseline", [TEXT]),
    ("P12", "poller/Plausibility.cpp", "    haveBaseline_ = false;\n    run_ = 0;\n}",
     "    run_ = 0;\n}", "Reset keeps the old device's baseline", [TEXT]),
    ("P13", "poller/Plausibility.cpp", "for (int i = 0; i < ReadingsFieldCount; ++i)\n        if ((row",
     "for (int i = 0; i + 1 < ReadingsFieldCount; ++i)\n        if ((row",
     "the last field (pulse input 2) left out of the check for numbers", [TEXT]),
    # The fan-out.
    ("F1", "poller/ReadingsFanOut.cpp", "if (serial != serial_) {", "if (serial == serial_) {",
     "the check is reset at every reading of the same device, not at another device", [TEXT]),
    ("F2", "poller/ReadingsFanOut.cpp", "        ++counts_.failed;", "        ++counts_.ok;",
     "failed readings counted as ok", [TEXT]),
    ("F3", "poller/ReadingsFanOut.cpp", "        ++counts_.implausible;", "        ++counts_.ok;",
     "implausible readings counted as ok", [TEXT]),
    ("F4", "poller/ReadingsFanOut.cpp",
     "    for (ReadingSink* sink : sinks)\n        sink->Take(reading);",
     "    for (size_t i = 0; i + 1 < sinks.size(); ++i)\n        sinks[i]->Take(reading);",
     "off by one: the last sink (standard output) is skipped", [TEXT, cli("pollCsv")]),
    ("F5", "poller/ReadingsFanOut.cpp",
     "if (sink && std::find(sinks_.begin(), sinks_.end(), sink) == sinks_.end())", "if (sink)",
     "a sink added twice gets each reading twice", [TEXT]),
    # The poll loop.
    ("D1", "poller/DeviceLoop.cpp", "    if (!stop_)\n        stopCode_ = exitCode;",
     "    stopCode_ = exitCode;", "Stop: the last code given wins, not the first",
     [cli("servicePartsInProcess")]),
    ("D2", "poller/DeviceLoop.cpp", "backoffMs_ = std::min(backoffMs_ * 2, MaxBackoffMs);",
     "backoffMs_ = std::min(backoffMs_ + FirstBackoffMs, MaxBackoffMs);",
     "the backoff grows linearly instead of doubling", [cli("servicePartsInProcess")]),
    ("D3", "poller/DeviceLoop.cpp",
     "stepTimer_.start(int(std::max<qint64>(0, interval_() - lastStep_.elapsed())));",
     "stepTimer_.start(interval_());",
     "the interval runs from the end of a reading, not start to start", [cli("pollCsv")]),
    ("D4", "poller/DeviceLoop.cpp", "    if (!ended_ && !stop_)\n        Tick();\n", "",
     "after a reconnect the poll is not re-armed", [cli("pollSurvivesPulledCable")]),
    ("D5", "poller/DeviceLoop.cpp", "    if (!busy_)\n        Finish(stopCode_);",
     "    if (busy_)\n        Finish(stopCode_);", "Ctrl-C between two readings waits for the next tick",
     [cli("pollSurvivesPulledCable", "settingsAtEveryPhaseOfTheInterval")]),
    ("D6", "poller/DeviceLoop.cpp", "return Finish(stop_ ? stopCode_ : 0);", "return Finish(0);",
     "a sink's failure at the last reading of --count ends with 0",
     [cli("pollCsv", "servicePartsInProcess")]),
    # The readings service.
    ("S1", "poller/ReadingsService.cpp",
     "std::clamp(device_.Identity().interval, MinIntervalS, MaxIntervalS) * 1000",
     "std::clamp(device_.Identity().interval, MinIntervalS, MaxIntervalS + 1) * 1000",
     "off by one in the interval clamp: 61 s", [cli("servicePartsInProcess")]),
    ("S2", "poller/ReadingsService.cpp",
     "? std::max(options_.minIntervalMs, device_.Identity().interval * 1000)",
     "? std::min(options_.minIntervalMs, device_.Identity().interval * 1000)",
     "the floor under the interval applied as a ceiling: interval 0 polls back to back",
     [cli("servicePartsInProcess", "pollHoldsItsIntervalAndEndsAtAClosedPipe")]),
    ("S3", "poller/ReadingsService.cpp",
     "    if (slot && slot->done)\n        slot->done({SettingsAnswer::Replaced,\n"
     "                    {QStringLiteral(\"replaced by a newer request before it was "
     "applied\")}});\n", "",
     "a replaced settings request is never answered", [cli("servicePartsInProcess")]),
    ("S4", "poller/ReadingsService.cpp", "    slot = Waiting{request, std::move(done), nextOrder_++};",
     "    if (!slot)\n        slot = Waiting{request, std::move(done), nextOrder_++};",
     "a newer settings request dropped instead of replacing the waiting one",
     [cli("servicePartsInProcess", "settingsAtEveryPhaseOfTheInterval")]),
    ("S5", "poller/ReadingsService.cpp", "lastSettings_.elapsed() < IntervalMs() * 9 / 10",
     "lastSettings_.elapsed() < IntervalMs() / 10",
     "two settings exchanges per interval allowed",
     [cli("settingsAtEveryPhaseOfTheInterval", "mqttSettingsAndAvailability"), CHAOS]),
    ("S6", "poller/ReadingsService.cpp", "        first->reset();\n        lastSettings_.start();",
     "        lastSettings_.start();",
     "an applied request is never cleared: sent again every interval (or answered twice)",
     [cli("settingsAtEveryPhaseOfTheInterval")]),
    ("S7", "poller/ReadingsService.cpp",
     "    ApplyWaitingSettings();\n    if (!device_.Connected())",
     "    if (SettingsWaiting() > 0) {\n        ApplyWaitingSettings();\n"
     "        return DeviceLoop::Step::Continue;\n    }\n    if (!device_.Connected())",
     "a settings exchange takes the place of the reading (the tick is lost for an interval)",
     [cli("settingsAtEveryPhaseOfTheInterval")]),
    ("S8", "poller/ReadingsService.cpp", "taken_ >= options_.count", "taken_ > options_.count",
     "one reading more than --count", [cli("pollCsv")]),
    ("S9", "poller/ReadingsService.cpp",
     "    if (!device_.Port().PortOpen())\n        return DeviceLoop::Step::PortLost;\n", "",
     "a reading cut off by a pulled cable is handed on as a failed reading",
     [cli("pollSurvivesPulledCable"), CHAOS]),
    ("S10", "poller/ReadingsService.cpp", "    if (DeviceHas(request)) {",
     "    if (false) {", "a request that changes nothing waits for an exchange",
     [cli("servicePartsInProcess")]),
    # Settings from the command line and the broker.
    ("C1", "poller/SettingsChange.cpp", "current.interval = std::clamp(before.interval, 5, 60);",
     "current.interval = std::clamp(before.interval, 1, 60);",
     "an interval below 5 s is sent back to the device", [cli("servicePartsInProcess")]),
    ("C2", "poller/SettingsChange.cpp", "current.country = before.Nederland() ? 1 : 2;",
     "current.country = before.Nederland() ? 2 : 1;",
     "a settings change without a country flips the country",
     [cli("servicePartsInProcess", "settingsAtEveryPhaseOfTheInterval")]),
    # The poll command: sinks, messages, exit codes.
    ("M1", "cli/PollCommand.cpp", "if (errno == EPIPE)", "if (errno != EPIPE)",
     "EPIPE (poll | head) treated as a failure",
     [cli("pollHoldsItsIntervalAndEndsAtAClosedPipe")]),
    ("M2", "cli/PollCommand.cpp", "            exitCode == ExitOk)\n            return ExitFailure;",
     "            exitCode != ExitOk)\n            return ExitFailure;",
     "exit code for undelivered readings inverted", [cli("nothingDeliveredIsAFailure")]),
    ("M3", "cli/PollCommand.cpp", "publisher_->Delivered() == 0 && !publisher_->EverConnected()",
     "publisher_->Delivered() == 0 && publisher_->EverConnected()",
     "'never connected' tested the wrong way round", [cli("nothingDeliveredIsAFailure")]),
    ("M4", "cli/PollCommand.cpp",
     "        PrintError(text + QStringLiteral(\"; waiting for the KDR31 (--wait)",
     "        (void)(text + QStringLiteral(\"; waiting for the KDR31 (--wait)",
     "the --wait line is missing", [cli("pollWaitsForALateDevice")]),
    ("M5", "cli/PollCommand.cpp", "        if (!request.wait) {", "        if (request.wait) {",
     "--wait tested the wrong way round", [cli("pollWaitsForALateDevice")]),
    ("M6", "cli/PollCommand.cpp",
     "PrintError(MqttFailureText(error, text, options_));\n                    service_.Stop(ExitFailure);",
     "PrintError(MqttFailureText(error, text, options_));\n                    service_.Stop(ExitOk);",
     "a broker's refusal ends the poll with 0", [cli("pollPublishesToMqtt")]),
    ("M7", "cli/PollCommand.cpp", "recorded ? QStringLiteral(\"; they are in the history\")",
     "!recorded ? QStringLiteral(\"; they are in the history\")",
     "'they are in the history' said when there is none", [cli("nothingDeliveredIsAFailure")]),
    ("M8", "cli/PollCommand.cpp", "publisher_->SetDeviceAvailable(false);",
     "publisher_->SetDeviceAvailable(true);", "a pulled cable is published as online",
     [cli("mqttSettingsAndAvailability")]),
    ("M9", "cli/PollCommand.cpp", "    if (reading.implausible)\n        parts <<",
     "    if (!reading.implausible)\n        parts <<",
     "the text line marks plausible readings as implausible", [cli("pollWaitsForALateDevice")]),
    ("M10", "cli/PollCommand.cpp",
     "PrintError(QStringLiteral(\"cannot write the readings to standard output\"));\n"
     "        service_.Stop(ExitFailure);",
     "PrintError(QStringLiteral(\"cannot write the readings to standard output\"));\n"
     "        service_.Stop(ExitOk);", "a full disk under standard output ends with 0",
     [cli("pollCsv")]),
    ("M11", "cli/PollCommand.cpp", "    const int testFloor = qEnvironmentVariableIntValue",
     "    const int testFloor = 100 + 0 * qEnvironmentVariableIntValue",
     "the tests' floor always on: a real poller polls at 0.1 s",
     [cli("pollHoldsItsIntervalAndEndsAtAClosedPipe")]),
    # The MQTT publisher: availability and the answers on the set topic.
    ("A1", "mqtt/MqttPublisher.cpp", "deviceAvailable_ ? AvailabilityOnline : AvailabilityOffline",
     "AvailabilityOnline", "after a broker restart, an unplugged device is published as online",
     [cli("mqttSettingsAndAvailability")]),
    ("A2", "mqtt/MqttPublisher.cpp", "lastAnswer_.elapsed() < AnswerMilliseconds",
     "lastAnswer_.elapsed() < 0", "answers on set/result not held to one a second",
     [MQTT_SETTINGS, cli("settingsAtEveryPhaseOfTheInterval")]),
    ("A3", "mqtt/MqttPublisher.cpp", "    waitingAnswers_[rank] = WaitingAnswer{",
     "    waitingAnswers_[Refused] = WaitingAnswer{",
     "one waiting answer for all kinds: a refusal takes the place of a request's outcome",
     [MQTT_SETTINGS]),
    # Ctrl-C in the commands that talk to the device once.
    ("K1", "cli/Commands.cpp", "            if (!held_)\n                device_.Disconnect();\n", "",
     "Ctrl-C does not close the port", [cli("ctrlCEndsEveryCommand")]),
    ("K2", "cli/Commands.cpp", "            if (!held_)\n", "            if (held_)\n",
     "the hold tested the wrong way round", [cli("ctrlCEndsEveryCommand")]),
    ("K3", "cli/Commands.cpp", "    cancel.Hold(true);\n", "",
     "set does not hold Ctrl-C back while the settings are on their way",
     [cli("ctrlCEndsEveryCommand")]),
    ("K4", "cli/Commands.cpp", "            cancelled_ = true;\n", "",
     "Ctrl-C closes the port but is not remembered (exit 1, not 130)",
     [cli("ctrlCEndsEveryCommand")]),
    # Messages about the port.
    ("E1", "cli/Session.cpp", "(first ? QStringLiteral(\"found the KDR31 on %1\")",
     "(!first ? QStringLiteral(\"found the KDR31 on %1\")",
     "'found' and 'is back' swapped", [cli("pollWaitsForALateDevice")]),
    ("E2", "cli/Session.cpp", "if (access(path.constData(), F_OK) != 0)",
     "if (access(path.constData(), F_OK) == 0)",
     "a missing device reported as 'cannot open'", [cli("pollWaitsForALateDevice")]),
    ("E3", "cli/Session.cpp", "            .arg(port.Display())\n            .arg(port.number);",
     "            .arg(port.Device())\n            .arg(port.number);",
     "the unmapped port named by its (empty) device", [cli("pollWaitsForALateDevice")]),
    # The command line.
    ("O1", "cli/CliOptions.cpp", "if (number < 1 || number > 32)", "if (number < 1 || number > 33)",
     "--port range 1..33", [cli("usageErrors:info --port 33")]),
    ("O2", "cli/CliOptions.cpp", "request.wait = isSet(\"wait\");",
     "request.wait = isSet(\"wait\") && request.count == 0;",
     "--wait dropped with --count", [cli("pollWaitsForALateDevice")]),
    ("O3", "cli/CliOptions.cpp", "{\"wait\", {C::Poll}},", "{\"wait\", {C::Poll, C::Set}},",
     "--wait accepted by set, where it means nothing",
     [cli("usageErrors:set --port 1 --wait --interval 5")]),
    ("O4", "cli/CliOptions.cpp", "const bool read = (mode & S_IROTH) != 0;",
     "const bool read = false;", "a secret file any account may read is taken",
     [cli("usageErrors:poll --mqtt-password-file 'mqtt password' 0644")]),
]


def run(command, **kw):
    return subprocess.run(command, cwd=ROOT, **kw)


def build(targets):
    env = dict(os.environ, BUILD_DIR=BUILD, BUILD_TARGETS=" ".join(sorted(targets)))
    done = run(["scripts/build.sh", "-DBUILD_TESTING=ON", "-DKDR31_BENCHMARKS=OFF"], env=env,
               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return done.returncode == 0


def test(binary, functions):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    try:
        done = run(["timeout", "300", os.path.join(BUILD, "tests", binary)] + functions, env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except OSError:
        return False
    return done.returncode == 0


def main():
    args = sys.argv[1:]
    if "--list" in args:
        for m in MUTATIONS:
            print(f"{m[0]}\t{m[1]}\t{m[4]}")
        return 0
    chosen = [m for m in MUTATIONS if not args or m[0] in args]
    if run(["git", "diff", "--quiet", "--", "poller", "cli", "mqtt"]).returncode != 0:
        sys.exit("poller/, cli/ or mqtt/ has uncommitted changes; commit them first")
    # The tests must pass without a bug first, or a failure says nothing about the mutant.
    if not build({"kdr31-cli"} | {binary for m in chosen for binary, _ in m[5]}):
        sys.exit("the unchanged tree does not build")
    for binary, functions in sorted({(b, tuple(f)) for m in chosen for b, f in m[5]}):
        if not test(binary, list(functions)):
            sys.exit(f"fails without a bug: {binary} {' '.join(functions)}")
    results = []
    for ident, path, original, replacement, description, tests in chosen:
        source = os.path.join(ROOT, path)
        text = open(source).read()
        if text.count(original) != 1:
            results.append((ident, path, description, "fragment not found once", ""))
            print(f"{ident}: fragment not found once", flush=True)
            continue
        started = time.time()
        try:
            open(source, "w").write(text.replace(original, replacement))
            targets = {"kdr31-cli"} | {binary for binary, _ in tests}
            if not build(targets):
                verdict, by = "not a valid mutant (does not build)", ""
            else:
                verdict, by = "survived", ""
                for binary, functions in tests:
                    if not test(binary, functions):
                        verdict, by = "killed", f"{binary} {' '.join(functions)}".strip()
                        break
        finally:
            run(["git", "checkout", "--", path])
        results.append((ident, path, description, verdict, by))
        print(f"{ident}: {verdict} {by} ({time.time() - started:.0f} s)", flush=True)
    with open(os.path.join(BUILD, "plant-bugs.tsv"), "a") as out:
        for row in results:
            out.write("\t".join(row) + "\n")
    killed = sum(1 for r in results if r[3] == "killed")
    valid = sum(1 for r in results if r[3] in ("killed", "survived"))
    print(f"killed {killed} of {valid} valid mutants")
    # The build dir back to the committed sources.
    build({"kdr31-cli"} | {binary for m in chosen for binary, _ in m[5]})
    return 0


if __name__ == "__main__":
    sys.exit(main())
