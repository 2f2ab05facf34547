// ondrel's settings in words, read from its command line by ondrel's own
// parser, so that the page says what the program will do.
#pragma once

#include <string>
#include <vector>

#include "frontend/run_model.h"

SettingWords DescribeSettings(const std::vector<std::string>& ondrelArgs);
