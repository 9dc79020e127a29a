// What nearly every test program includes first, compiled once as the test programs' shared
// precompiled header: windows.h and GoogleTest are most of each test's compile time.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>
