// The kernel's error numbers the module returns, negated as a kernel call
// returns them. The core cannot include the kernel's headers; these values
// are the same on every architecture Linux runs on.
#pragma once

namespace kv::err {

constexpr int kENOMEM = -12;
constexpr int kEFAULT = -14;
constexpr int kEINVAL = -22;
constexpr int kEFBIG = -27;

} // namespace kv::err
