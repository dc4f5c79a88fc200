// Sample installations of the product, for the demo and the whole-program tests: the tree of one
// build, generated deterministically from its version, so that any two makers of the same version
// produce the same bytes and consecutive versions differ in a handful of files the way real builds
// do (bytes changed inside a large file, an insertion, an appended tail, a file added, a file
// deleted, a new launcher).
#pragma once

#include <string>
#include <vector>

// Versions are the numbers kFirstSampleVersion .. kLastSampleVersion written in decimal.
constexpr int kFirstSampleVersion = 100;
constexpr int kLastSampleVersion = 149;

struct SampleFile
{
    std::wstring path; // relative, '/' separators
    std::string content;
    bool executable = false;
};

// The files of a build apart from the uninstall log and the patch tool; false for a version
// outside the range.
bool SampleFiles(const std::string &version, std::vector<SampleFile> &files);

// Writes the build into directory (created when missing; must not hold another installation):
// the generated files, "bin/jpatchl-w32.exe" copied from patchTool, and an uninstall log that
// records every file. False with the reason in error.
bool MakeSampleInstallation(const std::wstring &directory, const std::string &version, const std::wstring &patchTool,
                            std::string &error);
