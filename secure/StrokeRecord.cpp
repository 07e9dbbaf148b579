#include "penwell/secure/StrokeRecord.h"

namespace penwell {

PointRecord recordOf(const std::vector<Stroke>& lines) {
    PointRecord record;
    record.reserve(lines.size());
    for (const Stroke& stroke : lines) {
        RecordStroke out;
        out.reserve(stroke.size());
        for (const _point& sample : stroke) {
            const Point pt = sample.CGPointValue();
            out.push_back({recordInteger(pt.x), recordInteger(pt.y),
                           recordInteger(sample.Pressure() * 1000.0),
                           static_cast<std::uint32_t>(sample.Timestamp())});
        }
        record.push_back(std::move(out));
    }
    return record;
}

std::vector<Stroke> strokesOf(const PointRecord& record) {
    std::vector<Stroke> strokes;
    strokes.reserve(record.size());
    for (const RecordStroke& in : record) {
        Stroke stroke;
        stroke.reserve(in.size());
        for (const RecordSample& s : in) {
            stroke.push_back(_point::initwith(
                {static_cast<double>(signedField(s.x)), static_cast<double>(signedField(s.y))}, s.t,
                recordPressure(s.p)));
        }
        strokes.push_back(std::move(stroke));
    }
    return strokes;
}

}  // namespace penwell
