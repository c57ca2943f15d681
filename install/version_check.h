// The installed-version check: is the installed game the version this patch
// applies to?
//
// The version is recognised by the ContentHash of one installed archive,
// data01110.arc in the install folder. Only EXPECTED_ARCHIVE_HASH lets the
// patch go on; every other outcome is explained to the user in a warning box
// (ShowWarning, caption g_caption). Nothing is written anywhere.
#pragma once

#include <cstdint>

#include "payload/content_hash.h"
#include "platform/folder.h"

inline constexpr char16_t kVersionArchiveName[] = u"data01110.arc";

// The archive in the version this patch applies to.
inline constexpr ContentHash EXPECTED_ARCHIVE_HASH = {{0xDE, 0xDE, 0x03, 0x53, 0xB5, 0x73, 0x06, 0xCE}};
// The archive as this patch installs it.
inline constexpr ContentHash PATCHED_ARCHIVE_HASH = {{0xD5, 0xDB, 0x29, 0x01, 0x2F, 0x39, 0x45, 0x6F}};

// The archive is the patched one. 26 characters: the text and 16 U+3000.
inline constexpr char16_t kAlreadyPatchedMessage[] =
    u"パッチは適用済みです　　　　　　　　　　　　　　　　";
// The archive is neither: 26 characters, no padding.
inline constexpr char16_t kOtherVersionMessage[] = u"新しいバージョンのパッチを適用済みな可能性があります";
// The archive could not be opened or read whole: a line break after the 26th
// character and 2 U+3000 at the end.
inline constexpr char16_t kVersionCheckFailedMessage[] =
    u"バージョンチェックに失敗しました。正しくインストール\n"
    u"されていないか、データが壊れている可能性があります　　";


// 1 when installFolder\data01110.arc has EXPECTED_ARCHIVE_HASH, with no
// message. Otherwise 0, after a warning box:
//  - PATCHED_ARCHIVE_HASH: kAlreadyPatchedMessage;
//  - any other content, an empty archive included: kOtherVersionMessage;
//  - the folder or the archive cannot be opened (a link at the archive's
//    name is not followed), a read fails or falls short of the size, or
//    memory runs out: kVersionCheckFailedMessage. The folder may be as long
//    as the registry lookup takes (779 units).
int32_t CheckInstalledVersion(const char16_t* installFolder);

// The same in the install folder the caller has open (platform/folder.h);
// kOsInvalidFolder (a folder that could not be opened) is a read failure.
int32_t CheckInstalledVersionIn(OsFolder installFolder);
