// Whatever numbers a caller passes, every export answers a finite number
// (the error value included) and never crashes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "analytics/HlUnivOpt.h"

namespace {

struct Reader {
  const uint8_t* data;
  size_t size;
  template <typename T>
  T Next() {
    T v{};
    const size_t n = size < sizeof v ? size : sizeof v;
    std::memcpy(&v, data, n);
    data += n;
    size -= n;
    return v;
  }
};

void ExpectFinite(double v) {
  if (!std::isfinite(v)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const double r = in.Next<double>(), S = in.Next<double>(), K = in.Next<double>();
  const double v = in.Next<double>(), T = in.Next<double>(), q = in.Next<double>();
  const short cls = in.Next<short>(), model = in.Next<short>();
  const short steps = in.Next<short>();
  const uint8_t count = in.Next<uint8_t>() % 8;
  const uint8_t timesCount = in.Next<uint8_t>() % 8;
  std::vector<double> amounts(1 + count), times(1 + timesCount);
  auto fill = [&](std::vector<double>& fp, uint8_t n) {
    uint16_t rc[2] = {1, n};
    std::memcpy(fp.data(), rc, sizeof rc);
    for (uint8_t i = 0; i < n; ++i) fp[1 + i] = in.Next<double>();
  };
  fill(amounts, count);
  fill(times, timesCount);
  FP* a = reinterpret_cast<FP*>(amounts.data());
  FP* t = reinterpret_cast<FP*>(times.data());

  HLUOA_SETOPTSTEP(steps);
  ExpectFinite(HLUOA_NORMAL(r));
  using Plain = double (*)(double, double, double, double, double, double, short, short);
  using Div = double (*)(double, double, double, double, double, double, short, short, FP*, FP*);
  const Plain plain[] = {HLUOA_PRICE, HLUOA_DELTA, HLUOA_GAMMA, HLUOA_RHO,       HLUOA_THETA,
                         HLUOA_THETA2, HLUOA_KAPPA, HLUOA_FUGIT, HLUOA_IMPLIEDVOL};
  const Div div[] = {HLUOA_DPRICE,  HLUOA_DDELTA, HLUOA_DGAMMA, HLUOA_DRHO,       HLUOA_DTHETA,
                     HLUOA_DTHETA2, HLUOA_DKAPPA, HLUOA_DFUGIT, HLUOA_DIMPLIEDVOL};
  for (Plain f : plain) ExpectFinite(f(r, S, K, v, T, q, cls, model));
  for (Div f : div) ExpectFinite(f(r, S, K, v, T, q, cls, model, a, t));
  const FP* all = HLUOA_DARRAY(r, S, K, v, T, q, cls, model, a, t);
  for (int i = 0; i < 8; ++i) ExpectFinite(FpElements(all)[i]);
  ExpectFinite(HLUOA_UNIVAPTOD(a, steps));
  HLUOA_VOL_TOL(v);
  return 0;
}
