// Points, sizes and rectangles in points, as views measure them.
#pragma once

#include <string>

namespace lv {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    Point origin;
    Size size;

    constexpr Rect() = default;
    constexpr Rect(double x, double y, double width, double height) : origin{x, y}, size{width, height} {}
    constexpr Rect(Point o, Size s) : origin(o), size(s) {}

    double x() const { return origin.x; }
    double y() const { return origin.y; }
    double width() const { return size.width; }
    double height() const { return size.height; }
    double maxX() const { return origin.x + size.width; }
    double maxY() const { return origin.y + size.height; }
    bool isEmpty() const { return size.width <= 0 || size.height <= 0; }

    bool operator==(const Rect&) const = default;
};

// Horizontal and vertical distances by which something is moved from its default place.
struct Offset {
    double horizontal = 0;
    double vertical = 0;
    bool operator==(const Offset&) const = default;
};

// "{{x, y}, {w, h}}" with the numbers printed as "%g" prints them.
std::string rectDescription(const Rect& rect);

}  // namespace lv
