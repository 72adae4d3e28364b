// Random texts in and near the forms strtod accepts, for differential tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <string>

// Texts near the forms strtod accepts, to compare with it.
class NumberTexts {
  public:
    explicit NumberTexts(uint64_t seed) : rng_(seed) {}
    std::string next() {
        switch (rng_() % 6) {
            case 0:
                return noise();
            case 1:
                return printed();
            case 2:
                return longDigits();
            case 3: {
                std::string s = prefix();
                s += printed();
                s += noise();
                return s;
            }
            case 4:
                return words();
            default:
                return hex();
        }
    }

  private:
    std::string pick(const char* const* options, size_t n) { return options[rng_() % n]; }
    std::string prefix() {
        static const char* const options[] = {"", "", "-", "+", " ", "\r", "\v-", "0", "00", "."};
        return pick(options, std::size(options));
    }
    std::string noise() {
        static const char alphabet[] = "0123456789.eE+-xXpPaAfFiInNtTyY() \t\r";
        std::string s;
        for (int n = rng_() % 12; n > 0; --n) s += alphabet[rng_() % (sizeof alphabet - 1)];
        return s;
    }
    std::string printed() {
        double d;
        uint64_t b = rng_();
        std::memcpy(&d, &b, sizeof d);
        static const char* const formats[] = {"%.17g", "%.6g", "%.3e", "%.20e",
                                              "%g",    "%.0f", "%.25f"};
        char text[512];
        std::snprintf(text, sizeof text, formats[rng_() % std::size(formats)],
                      rng_() % 2 ? d : d * 1e-300);
        return text;
    }
    std::string longDigits() {
        std::string s = prefix();
        for (int n = rng_() % 60; n > 0; --n) s += static_cast<char>('0' + rng_() % 10);
        if (rng_() % 2) s += '.';
        for (int n = rng_() % 60; n > 0; --n)
            s += static_cast<char>(rng_() % 4 ? '0' + rng_() % 10 : '5');
        if (rng_() % 2)
            s += (rng_() % 2 ? "e" : "E") + prefix() +
                 std::to_string(static_cast<int>(rng_() % 700) - 350);
        return s;
    }
    std::string words() {
        static const char* const options[] = {"inf",      "INF",  "Infinity", "infin",     "nan",
                                              "NaN(123)", "nan(", "nan()",    "nAn(0x_a)", "in"};
        return prefix() + pick(options, std::size(options)) + noise();
    }
    std::string hex() {
        char text[64];
        double d;
        uint64_t b = rng_();
        std::memcpy(&d, &b, sizeof d);
        std::snprintf(text, sizeof text, "%a", d);
        return prefix() + (rng_() % 4 ? std::string(text) : "0X" + noise());
    }
    std::mt19937_64 rng_;
};
