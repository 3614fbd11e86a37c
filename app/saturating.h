// Counters of the bridge stop at INT_MAX instead of wrapping: after weeks of traffic a counter
// that reads INT_MAX is honest, one that went negative is not.
#pragma once

#include <climits>

inline void saturatingAdd(int& counter, long long n) {
    const long long sum = static_cast<long long>(counter) + n;
    counter = sum > INT_MAX ? INT_MAX : (sum < INT_MIN ? INT_MIN : static_cast<int>(sum));
}
