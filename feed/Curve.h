// A small interpolation curve: points by key, read back at any key between,
// before or after them.
#pragma once

#include <cstdint>
#include <map>

// y at x on the line through (x1, y1) and (x2, y2). Always true.
bool InterpolateLinear(float x, float x1, float y1, float x2, float y2, float& y);
// Volatility at t with total variance (v * v * t) linear between (ta, va)
// and (tb, vb); -1 when the variance there falls below 0. Always true.
bool InterpolateVolatility(float t, float ta, float va, float tb, float vb, float& value);

class Curve {
 public:
  // 0: linear with keys as given; 1: volatility interpolation over squared
  // keys; any other value: linear over squared keys.
  explicit Curve(int32_t mode = 0) : m_mode(mode) {}

  // Setting a key again replaces its value.
  bool SetPoint(float key, float value);
  // The value at key: a point's own value, the first or last value outside
  // the points, else interpolated between its neighbours. False (value
  // untouched) only when the curve holds no point.
  bool GetValue(float key, float& value) const;

 private:
  float Key(float k) const { return m_mode != 0 ? static_cast<float>(k * k) : k; }

  std::map<float, float> m_points;
  int32_t m_mode;
};
