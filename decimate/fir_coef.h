// The 512 taps of the decimation low-pass, an equiripple linear-phase design.
// The table is exactly symmetric, so only taps 0..255 are stored; tap t and
// tap 511 - t are the same double. The table is generated: see fir_coef.cpp.
#pragma once

constexpr int FirTaps = 512;
constexpr int FirHalfTaps = FirTaps / 2;

extern const double FirCoef[FirHalfTaps];

// Tap t of the full 512-tap filter, t in 0..511.
inline double FirTap(int t) { return FirCoef[t < FirHalfTaps ? t : FirTaps - 1 - t]; }
