#pragma once
#include <array>
namespace tessary {
using ScaleList = std::array<float, 101>;
}
