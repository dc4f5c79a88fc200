// The version every program of the project prints with --version: one number for the patcher, the
// tools and their packages, the project's version in the build.
#pragma once

// The version as text, such as "1.0".
const char *ZelkProgramVersion();
