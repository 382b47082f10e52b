#!/usr/bin/python3
"""Designs the noise transfer function of dff-tone's fifth-order modulator.

NTF(z) = prod(1 - z_i/z) / A(z), both monic, so the loop has no delay-free path:
  zeros: on the unit circle at the Gauss-Legendre nodes of order 5 scaled to
         the 22,050 Hz band edge (oversampling ratio 64), the positions that
         minimise the in-band noise power of a fifth-order loop;
  poles: those of a fifth-order Butterworth high-pass whose cutoff is chosen
         so that the peak NTF gain over all frequencies is 1.4. With this
         margin the one-bit loop stays stable for inputs up to about 0.66 (it
         runs away near 0.68); at 1.5 it ran away already at 0.56.
Prints the numerator and denominator coefficients (in powers of 1/z) as the
C++ constants that tools/dff_tone.cpp holds, and the in-band noise figure.

Usage: /usr/bin/python3 tests/quality/design_ntf.py
"""
import numpy as np
import scipy.signal

ORDER = 5
OSR = 64
PEAK_GAIN = 1.4


def zeros():
    nodes = np.polynomial.legendre.leggauss(ORDER)[0]
    angles = nodes * np.pi / OSR
    return np.exp(1j * angles)


def ntf(cutoff):
    _, a = scipy.signal.butter(ORDER, cutoff, "highpass")
    b = np.real(np.poly(zeros()))
    return b, a / a[0]


def peak_gain(b, a):
    _, h = scipy.signal.freqz(b, a, worN=1 << 14)
    return np.max(np.abs(h))


def design():
    low, high = 1e-4, 0.99
    for _ in range(200):
        mid = 0.5 * (low + high)
        b, a = ntf(mid)
        if peak_gain(b, a) > PEAK_GAIN:
            high = mid
        else:
            low = mid
    return ntf(low)


def main():
    b, a = design()
    print("// peak gain %.6f" % peak_gain(b, a))
    w, h = scipy.signal.freqz(b, a, worN=np.linspace(0, np.pi / OSR, 4096))
    # Noise power of a uniform +-1 quantiser error (variance 1/3) in band.
    inband = np.mean(np.abs(h) ** 2) / OSR / 3
    print("// in-band noise %.1f dB re a full-scale (amplitude 1) sine" %
          (10 * np.log10(inband / 0.5)))
    print("constexpr double NtfNumerator[] = {%s};" % ", ".join("%.17g" % v for v in b))
    print("constexpr double NtfDenominator[] = {%s};" % ", ".join("%.17g" % v for v in a))


if __name__ == "__main__":
    main()
