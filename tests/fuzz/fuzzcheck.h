// SPDX-License-Identifier: GPL-3.0-or-later
// What the fuzz targets share: a check that reports the broken property and
// ends the run, so that libFuzzer saves the input that broke it.
#ifndef KIVERLO_FUZZCHECK_H
#define KIVERLO_FUZZCHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition);                      \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

#endif
