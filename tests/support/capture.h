#pragma once

#include <string>

// Collects what the program prints on standard output between the two calls.
void StartCapture();
std::string FinishCapture();
