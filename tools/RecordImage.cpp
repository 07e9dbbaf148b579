#include "tools/RecordImage.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "tools/ToolError.h"

namespace penwell::tools {

namespace {
constexpr double kMaxSide = 8192.0;
}

Image renderRecord(const PointRecord& record, Graphics& graphics, double lineWidth,
                   const std::string& name) {
    double minX = std::numeric_limits<double>::max(), minY = minX;
    double maxX = std::numeric_limits<double>::lowest(), maxY = maxX;
    for (const RecordStroke& stroke : record) {
        for (const RecordSample& s : stroke) {
            const double x = signedField(s.x), y = signedField(s.y);
            minX = std::min(minX, x);
            minY = std::min(minY, y);
            maxX = std::max(maxX, x);
            maxY = std::max(maxY, y);
        }
    }
    if (sampleCount(record) == 0) {
        throw ToolError(name + ": nothing to draw: the record holds no samples");
    }
    const Point origin{std::min(0.0, minX - kRecordImageMargin),
                       std::min(0.0, minY - kRecordImageMargin)};
    const Size size{maxX + kRecordImageMargin - origin.x, maxY + kRecordImageMargin - origin.y};
    if (size.width > kMaxSide || size.height > kMaxSide) {
        throw ToolError(name + ": the ink spans " + std::to_string(static_cast<long>(size.width)) +
                        " x " + std::to_string(static_cast<long>(size.height)) +
                        " points, too large to draw (at most 8192 on a side)");
    }

    auto context = graphics.beginImageContext(size);
    const std::uint32_t white = 0xffffffffu;
    context->drawImage(Image::fromPixels(1, 1, &white, 1), {{0, 0}, size});
    context->setLineCap(LineCap::Round);
    context->setLineWidth(lineWidth);
    context->setRGBStrokeColor(0.0, 0.0, 0.0, 1.0);
    for (const RecordStroke& stroke : record) {
        if (stroke.empty()) {
            continue;
        }
        auto at = [&](const RecordSample& s) {
            return Point{signedField(s.x) - origin.x, signedField(s.y) - origin.y};
        };
        context->beginPath();
        context->moveToPoint(at(stroke.front()));
        // A lone sample still gets a segment: with round caps a zero-length one is a dot.
        for (std::size_t i = stroke.size() == 1 ? 0 : 1; i < stroke.size(); ++i) {
            context->addLineToPoint(at(stroke[i]));
        }
        context->strokePath();
    }
    return context->makeImage();
}

}  // namespace penwell::tools
