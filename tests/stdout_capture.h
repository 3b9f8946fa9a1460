// Captures what a piece of code prints on standard output, such as DPF reports.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace cab::test {

template <typename Body>
std::string CapturedStdout(Body body) {
    testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace cab::test
