#pragma once
// Path composition of the launcher, free of the platform so that its limits can be tested
// natively.  Templates over the character type: wchar_t in the launcher, char16_t in tests.
#include <cstddef>

namespace boundstart {

// Longest path the launcher composes, and the capacity of its path buffer (with terminator).
constexpr size_t kMaxPathLength = 260;
constexpr size_t kPathCapacity = kMaxPathLength + 1;

// Position of the last backslash of path[0, length), scanning back from the last character
// and stopping before the first (position 0 never counts); 0 when there is none.
template <typename C> size_t LastSeparatorAfterFirst(const C *path, size_t length) {
    for (size_t i = length; i-- > 1;) {
        if (path[i] == C('\\')) {
            return i;
        }
    }
    return 0;
}

// `buffer` holds a file's full path of `pathLength` characters and has room for
// kPathCapacity.  Replaces the file name (and its backslash) by `suffix`, which starts with
// a backslash and has `suffixLength` characters, and terminates the result.  Fails, leaving
// the buffer unterminated, when the path has no backslash after its first character or
// when the result would exceed kMaxPathLength characters.
template <typename C>
bool ReplaceFileNameWith(C *buffer, size_t pathLength, const C *suffix, size_t suffixLength) {
    const size_t dirLength = LastSeparatorAfterFirst(buffer, pathLength);
    if (dirLength == 0 || dirLength + suffixLength > kMaxPathLength) {
        return false;
    }
    for (size_t i = 0; i < suffixLength; ++i) {
        buffer[dirLength + i] = suffix[i];
    }
    buffer[dirLength + suffixLength] = C(0);
    return true;
}

// `buffer` (room for kPathCapacity characters) holds a folder of `folderLength` characters as
// GetSystemDirectoryW wrote it: 0 when the call failed, kPathCapacity or more when the folder
// did not fit.  Appends a backslash (unless the folder ends with one) and `name` of
// `nameLength` characters, and terminates the result.  Fails, leaving the folder as it was,
// when the folder is unusable, is not absolute, or the result would exceed kMaxPathLength.
template <typename C>
bool AppendToSystemFolder(C *buffer, size_t folderLength, const C *name, size_t nameLength);

// True for a directory path that names its root: "X:\..." (drive letter, colon, backslash)
// or a UNC path "\\...".  Empty, relative and drive-relative texts ("X:dir", "\dir") are not.
template <typename C> bool IsAbsoluteDirectory(const C *dir) {
    if (dir[0] == C('\\')) {
        return dir[1] == C('\\');
    }
    const bool letter =
        (dir[0] >= C('A') && dir[0] <= C('Z')) || (dir[0] >= C('a') && dir[0] <= C('z'));
    return letter && dir[1] == C(':') && dir[2] == C('\\');
}

template <typename C>
bool AppendToSystemFolder(C *buffer, size_t folderLength, const C *name, size_t nameLength) {
    if (folderLength == 0 || folderLength >= kPathCapacity || nameLength == 0) {
        return false;
    }
    buffer[folderLength] = C(0);
    if (!IsAbsoluteDirectory(buffer)) {
        return false;
    }
    const bool separator = buffer[folderLength - 1] != C('\\');
    if (folderLength + (separator ? 1 : 0) + nameLength > kMaxPathLength) {
        return false;
    }
    size_t end = folderLength;
    if (separator) {
        buffer[end++] = C('\\');
    }
    for (size_t i = 0; i < nameLength; ++i) {
        buffer[end++] = name[i];
    }
    buffer[end] = C(0);
    return true;
}

} // namespace boundstart
