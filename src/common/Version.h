#pragma once
// The version every program prints for --version (the project's version, the
// same one its version record carries).

namespace ot {

const char* ProgramVersion();

} // namespace ot
