#pragma once
#include <cstddef>
#include <string>

// A data file as a person compares two versions of it: without the upload
// date line and without the line-number column of the writer's comments, so
// that one inserted value line changes one line, not every line after it.
// Line ends become "\n".
std::string dataFileDiffText(const std::string& text);

// The largest file dataFileDiffText is given by `linkora textconv`.
inline constexpr std::size_t kMaxDiffTextFile = 16 * 1024 * 1024;
