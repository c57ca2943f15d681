// Symbolic links for tests, made and removed the way each platform can.
//
// Natively std::filesystem makes them. Under Wine a Win32 program cannot
// (Wine 8's CreateSymbolicLinkW reports success and makes nothing), and
// every Win32 call on a host link to a file reaches the file, so there the
// host's shell makes and removes them.
#pragma once

#include <filesystem>

// True when the program runs under Wine.
bool RunningUnderWine();

// Makes a symbolic link at link to target (a folder when folder is set);
// false where this platform cannot make one here.
bool MakeLink(const std::filesystem::path& link, const std::filesystem::path& target, bool folder);

// Removes a link itself, never its target.
void RemoveLink(const std::filesystem::path& link);

// Whether path is itself a link (under Wine, as the folder's listing shows a
// host link: a reparse point).
bool IsLink(const std::filesystem::path& path);
