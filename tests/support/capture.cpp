#include "support/capture.h"

#include <gtest/gtest.h>

#include <cstdio>

void StartCapture() {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
}

std::string FinishCapture() {
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
