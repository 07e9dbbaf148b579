#pragma once
// Pointer scripts: what a hand did on a pad, event by event, with each event's time in whole
// milliseconds (a desktop's event clock) and the pressure the device reported. One table that
// every host is driven with, so their outputs can be compared, and the samples it must give.

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "penwell/capture/Sample.h"
#include "penwell/host/common/PointerInput.h"

namespace penwell::qt::testing {

struct ScriptEvent {
    host::StrokePhase phase = host::StrokePhase::down;
    std::uint32_t ms = 0;
    double x = 0.0, y = 0.0;
    double pressure = 0.0;
};

struct Script {
    std::string name;
    PointerKind pointer = PointerKind::stylus;
    std::vector<ScriptEvent> events;
};

/// A stroke sampled at 240 Hz from `startMs`: `samples` samples along a wave, the first one
/// the down. `firstPressure` is the down's pressure (0: a pen that reports none at contact).
/// A pen and a finger are placed to a quarter point, a mouse to whole pixels, as each reports.
inline void addStroke(Script& script, std::uint32_t startMs, int samples, double x0, double y0,
                      double firstPressure) {
    const double steps = script.pointer == PointerKind::mouse ? 1.0 : 4.0;
    for (int i = 0; i < samples; ++i) {
        // Whole milliseconds, as Qt's timestamps are: 240 Hz is 4 or 5 ms apart.
        const auto ms = startMs + static_cast<std::uint32_t>(std::lround(i * 1000.0 / 240.0));
        // Quarter points: exact in binary, so every host receives the same coordinates.
        const double x = x0 + std::round(i * 3.0 * steps) / steps;
        const double y = y0 + std::round(30.0 * std::sin(i / 9.0) * steps) / steps;
        const double pressure =
            i == 0 ? firstPressure
                   : std::round((0.3 + 0.5 * std::sin(i / 14.0) * std::sin(i / 14.0)) * 1000.0) /
                         1000.0;
        script.events.push_back(
            {i == 0 ? host::StrokePhase::down : host::StrokePhase::move, ms, x, y, pressure});
    }
    const ScriptEvent last = script.events.back();
    script.events.push_back({host::StrokePhase::up, last.ms + 4, last.x, last.y, 0.0});
}

/// The parity table: a pen that reports no pressure at first contact, a finger on a screen
/// that reports pressure, a mouse, and a pen that taps a dot between two strokes.
inline std::vector<Script> parityScripts() {
    std::vector<Script> scripts;
    Script pen{"pen", PointerKind::stylus, {}};
    addStroke(pen, 1000, 90, 40.25, 120.5, 0.0);
    addStroke(pen, 1600, 70, 330.5, 100.25, 0.0);
    scripts.push_back(pen);

    Script finger{"finger", PointerKind::finger, {}};
    addStroke(finger, 2000, 80, 60.5, 140.0, 0.5);
    addStroke(finger, 2500, 60, 360.0, 110.75, 0.5);
    scripts.push_back(finger);

    Script mouse{"mouse", PointerKind::mouse, {}};
    addStroke(mouse, 5000, 100, 20.0, 125.0, 0.0);
    scripts.push_back(mouse);

    Script tap{"pen-tap", PointerKind::stylus, {}};
    addStroke(tap, 7000, 60, 30.0, 100.0, 0.25);
    tap.events.push_back({host::StrokePhase::down, 7400, 250.5, 180.5, 0.6});
    tap.events.push_back({host::StrokePhase::up, 7420, 250.5, 180.5, 0.0});
    addStroke(tap, 7600, 60, 300.0, 90.0, 0.4);
    scripts.push_back(tap);
    return scripts;
}

/// The samples the controller holds after a script: each down and move as the event gave it
/// (time since its stroke's down, force from its pressure through the one mapping); an up is
/// not a sample, and a tap adds the three samples of its dot.
inline std::vector<_point> expectedSamples(const Script& script) {
    std::vector<_point> expected;
    std::uint32_t downMs = 0;
    for (std::size_t i = 0; i < script.events.size(); ++i) {
        const ScriptEvent& e = script.events[i];
        if (e.phase == host::StrokePhase::up) {
            continue;
        }
        downMs = e.phase == host::StrokePhase::down ? e.ms : downMs;
        expected.push_back(_point::initwith({e.x, e.y}, e.ms - downMs,
                                            host::forceFor(script.pointer, e.pressure)));
        if (e.phase == host::StrokePhase::down &&
            script.events[i + 1].phase == host::StrokePhase::up) {
            const double f = host::forceFor(script.pointer, 0.0);
            const std::uint64_t t = script.events[i + 1].ms - e.ms;
            for (const Point q : {Point{e.x + 1, e.y}, Point{e.x, e.y + 1}, Point{e.x, e.y}}) {
                expected.push_back(_point::initwith(q, t, f));
            }
        }
    }
    return expected;
}

}  // namespace penwell::qt::testing
