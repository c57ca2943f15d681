#!/usr/bin/env python3
"""Puts small, plausible faults into the code one at a time and runs the
suite against each: a fault the suite does not fail on needs a test.

    tests/tools/mutants.py                  every native mutant
    tests/tools/mutants.py --list           what they are
    tests/tools/mutants.py --only backup-move-ignored,flush-ignored
    tests/tools/mutants.py --preset win64   the ones only the Win32 layer shows
    tests/tools/mutants.py --preset win32   the same, on the 32-bit build
                                            (through cmake/i386-run)

Each mutant replaces exact text in one or more source files (the text must
be there exactly once, so a mutant that no longer applies is reported, not
skipped), builds in build/mutants-<preset> and runs ctest there (without the
reproducible-build test, which never looks at this code). The files are
always put back, also on Ctrl-C. Prints one line per mutant, CAUGHT or
SURVIVED, and exits 1 when any survived or did not apply.
"""
import argparse
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# (name, preset, what the fault is, [(file, old, new), ...])
MUTANTS = [
    ("backup-move-ignored", "native", "a failed rename of an original to its backup is ignored", [
        ("update/transaction.cpp",
         "      } else if (OsMoveFileWhenFreeIn(folder, leaf, folder, file.backup.c_str(), false)) {",
         "      } else if (OsMoveFileWhenFreeIn(folder, leaf, folder, file.backup.c_str(), false) || true) {"),
    ]),
    ("flush-ignored", "native", "a failed flush of a temporary is ignored", [
        ("update/update_run.cpp", "flushed = file->Flush() == 1 && flushed;", "file->Flush();"),
    ]),
    ("close-ignored", "native", "a failed close of a temporary is ignored", [
        ("update/update_run.cpp", "flushed = file->Close() == 1 && flushed;", "file->Close();"),
    ]),
    ("undo-keeps-attributes", "native", "the undo does not restore the original's attributes", [
        ("update/transaction.cpp",
         "    if (file.originalAttributes != OS_INVALID_FILE_ATTRIBUTES) OsSetFileAttributesIn(folder, leaf, file.originalAttributes);\n",
         ""),
    ]),
    ("copy-ignores-stop", "native", "the copy loop goes on to the end of the file after a cancel or close", [
        ("update/update_run.cpp", "    if (StopRequested()) break;\n    uint32_t length", "    uint32_t length"),
        ("update/update_run.cpp", "    if (PumpQuit(m_ui)) break;\n  }", "    PumpQuit(m_ui);\n  }"),
    ]),
    ("too-many-entries-silent", "native", "too many entries ends without the damaged message", [
        ("app/patch_main.cpp", "    case UPDATE_E_TOO_MANY_ENTRIES:\n", ""),
    ]),
    ("uninstall-message-swapped", "native", "a failed uninstall-list update shows the write message", [
        ("app/patch_main.cpp", """    case UPDATE_E_UNINSTALL_LIST:
      ShowWarning(kUninstallListMessage);""", """    case UPDATE_E_UNINSTALL_LIST:
      ShowWarning(kWriteFailedMessage);"""),
    ]),
    ("merge-failure-is-success", "native", "a failed uninstall-list merge is reported as success", [
        ("update/transaction.cpp", "  if (merged) return UPDATE_OK;", "  if (merged || true) return UPDATE_OK;"),
    ]),
    ("module-path-boundary", "native", "a module path exactly as long as the buffer is not reported cut", [
        ("platform/posix/filesystem_posix.cpp", "  if (path.size() >= capacity) {", "  if (path.size() > capacity) {"),
    ]),
    ("damaged-hash-list-accepted", "native", "a payload hash list that cannot be loaded turns verification off", [
        ("update/payload_plan.cpp", "  *table = LoadHashList(container.File(), available);\n  return table->loaded;",
         "  *table = LoadHashList(container.File(), available);\n  return true;"),
    ]),
    ("hash-list-count-unchecked", "native", "the hash list's count is not checked against the bytes there", [
        ("payload/hash_list.cpp", "  if (kHashListHeaderSize + size > available) return false;\n",
         "  static_cast<void>(available);\n"),
    ]),
    ("prune-through-link", "native", "a record behind a link is dropped instead of kept", [
        ("payload/hash_list.cpp", "        if (opened == kOsInvalidFolder) return !missing;",
         "        if (opened == kOsInvalidFolder) return false;"),
    ]),
    ("caption-after-game-check", "native", "the caption is set after the game-running check", [
        ("app/patch_main.cpp",
         """  std::copy(std::begin(kCaptionText), std::end(kCaptionText), g_caption);

  int32_t status;
  OsMutex engine = OsCreateNamedMutex(kEngineMutexName, true, &error);
  if (error != OS_ERROR_SUCCESS) {
    ShowWarning(kGameRunningMessage);
    status = kExitGameRunning;
  } else {""",
         """  int32_t status;
  OsMutex engine = OsCreateNamedMutex(kEngineMutexName, true, &error);
  if (error != OS_ERROR_SUCCESS) {
    ShowWarning(kGameRunningMessage);
    status = kExitGameRunning;
  } else {
    std::copy(std::begin(kCaptionText), std::end(kCaptionText), g_caption);"""),
    ]),
    ("device-conin-allowed", "native", "CONIN$ is not taken for a device", [
        ("update/relative_path.cpp", "stem == u\"NUL\" || stem == u\"CONIN$\" ||", "stem == u\"NUL\" ||"),
    ]),
    ("find-overlong-zero", "native", "an overlong zero is taken for the terminator", [
        ("text/text_codec.cpp", "if (found == code && code != 0) return p;", "if (found == code) return p;"),
    ]),
    ("merge-keeps-duplicates", "native", "the uninstall-list merge keeps a name already listed", [
        ("install/uninstall_list.cpp", "if (!m_index.insert(m_list->size() - 1).second) m_list->pop_back();",
         "m_index.insert(m_list->size() - 1);"),
    ]),
    ("line-class-two-sequences", "native", "a line's encoding is settled after two UTF-8 sequences, not three", [
        ("install/uninstall_list.cpp", "if (++accepted == 3) return ENCODING_UTF8;", "if (++accepted == 2) return ENCODING_UTF8;"),
    ]),
    ("rename-keeps-old-case", "native", "a rename onto another case of a name keeps the old spelling", [
        ("platform/posix/folder_posix.cpp",
         "    if (targetName.respelled) renameat2(target, targetName.text, target, targetName.spelled, RENAME_NOREPLACE);\n",
         ""),
    ]),
    ("rename-not-retried", "native", "a rename held for a moment by another program is not tried again", [
        ("platform/retry.cpp",
         "    if (error != OS_ERROR_SHARING_VIOLATION && error != OS_ERROR_ACCESS_DENIED) return false;",
         "    if (error != OS_ERROR_ACCESS_DENIED) return false;"),
    ]),
    ("name-fold-ascii-only", "native", "two payload names that differ only in the case of a letter outside ASCII are two files", [
        ("update/relative_path.cpp",
         "    if (unit >= 0x80 && (unit < 0xD800 || unit > 0xDFFF)) unit = static_cast<char16_t>(OsFoldNameCase(unit));",
         "    if (unit >= 0x80 && unit < 0x80) unit = static_cast<char16_t>(OsFoldNameCase(unit));"),
    ]),
    ("journal-believed-unchecked", "native", "a journal others could have written is believed", [
        ("platform/posix/registry_posix.cpp",
         "  return owner && (info.st_mode & 022) == 0 && (folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode));",
         "  return owner || true;"),
    ]),
    ("sub-folder-follows-link", "native", "a sub-folder is opened through a link at its name", [
        ("platform/posix/folder_posix.cpp",
         "  int fd = openat(Descriptor(parent), leaf.text, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);",
         "  int fd = openat(Descriptor(parent), leaf.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);"),
    ]),
    ("replace-by-path", "native", "the rename that installs a file resolves its path again", [
        ("update/transaction.cpp",
         "    if (!OsMoveFileWhenFreeIn(folder, file.temporary.c_str(), folder, leaf, true)) return false;\n    file.installed = true;",
         "    std::u16string a = m_folder + u\"\\\\\" + file.name + u\".tmp\", b = m_folder + u\"\\\\\" + file.name;\n"
         "    if (!OsMoveFileWhenFree(a.c_str(), b.c_str(), true)) return false;\n    file.installed = true;"),
    ]),
    ("records-before-installed-mark", "native", "recovery brings the records up to date before it marks the journal installed", [
        ("update/recovery.cpp",
         "    if (!Finish(transaction) || !transaction.FlushFolders() || !transaction.MarkInstalled()) return UPDATE_E_WRITE;",
         "    bool ignored = false;\n    if (!Finish(transaction) || !transaction.FlushFolders()) return UPDATE_E_WRITE;\n"
         "    transaction.UpdateRecords(&ignored);\n    if (!transaction.MarkInstalled()) return UPDATE_E_WRITE;"),
    ]),
    ("moved-backup-not-flushed", "native", "without hard links an original's move to its backup is not flushed before its replacement", [
        ("update/transaction.cpp", "        if (!OsFlushOpenFolder(folder)) return false;\n", ""),
    ]),
    ("recovery-after-version-check", "native", "the start checks the installed version before it carries an interrupted update through", [
        ("app/patch_main.cpp",
         "  Recovered recovered = Recovered::Nothing;\n",
         "  if (!CheckInstalledVersionIn(root)) return kExitNotInstalled;\n  Recovered recovered = Recovered::Nothing;\n"),
    ]),
    ("rename-denied-not-retried", "native", "a rename refused with access denied is not tried again", [
        ("platform/retry.cpp",
         "    if (error != OS_ERROR_SHARING_VIOLATION && error != OS_ERROR_ACCESS_DENIED) return false;",
         "    if (error != OS_ERROR_SHARING_VIOLATION) return false;"),
    ]),
    ("temporary-on-earlier-file", "native", "an entry whose temporary name is an earlier entry's file is accepted", [
        ("update/payload_plan.cpp", " || holds(destinations, temporary)", ""),
    ]),
    ("parse-stops-at-overlong-line-end", "native", "the uninstall-list parse stops for ever at an overlong UTF-8 line end", [
        ("install/uninstall_list.cpp", "    if (*p != 0 && *p != '\\r' && *p != '\\n') p += DecodeUtf8Sequence(nullptr, p);\n", ""),
    ]),
    ("close-leaves-background-flush", "win64", "closing a file does not wait for the background flush of its duplicate handle", [
        ("platform/win32/files_win32.cpp", "  if (flusher.started) WaitForSingleObject(flusher.idle, INFINITE);",
         "  if (flusher.started) WaitForSingleObject(flusher.idle, 0);"),
    ]),
    ("background-flush-leaks-handle", "win64", "the background flush never closes its duplicate handle", [
        ("platform/win32/files_win32.cpp", "      FlushFileBuffers(file);\n      CloseHandle(file);", "      FlushFileBuffers(file);"),
    ]),
    ("box-over-dialog", "win64", "the outcome box is shown while the progress dialog is still on screen", [
        ("app/patch_main.cpp", "  DestroyProgressDialog();\n  return ReportOutcome(result);",
         "  int32_t status = ReportOutcome(result);\n  DestroyProgressDialog();\n  return status;"),
    ]),
    ("dll-search-unrestricted", "win64", "the DLL search is left as Windows sets it", [
        ("platform/win32/entry_win32.cpp", "void RestrictDllSearch() {\n", "void RestrictDllSearch() {\n  if (GetVersion() != 0) return;\n"),
    ]),
]


def run(command, log):
    with open(log, "ab") as out:
        return subprocess.run(command, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT).returncode


def main():
    parser = argparse.ArgumentParser(description="Runs the suite against hand-made faults.")
    parser.add_argument("--list", action="store_true", help="list the mutants and exit")
    parser.add_argument("--only", help="comma-separated mutant names")
    parser.add_argument("--preset", default="native", help="native (default), win64 or win32")
    args = parser.parse_args()

    # The Win32 layer's mutants are written for win64 and run on either build.
    kind = "win64" if args.preset == "win32" else args.preset
    chosen = [m for m in MUTANTS if m[1] == kind]
    if args.only:
        names = args.only.split(",")
        unknown = [n for n in names if n not in {m[0] for m in MUTANTS}]
        if unknown:
            sys.exit("mutants: no mutant " + ", ".join(unknown))
        chosen = [m for m in MUTANTS if m[0] in names]
        other = [m[0] for m in chosen if m[1] != kind]
        if other:
            sys.exit(f"mutants: {', '.join(other)} need --preset {chosen[[m[0] for m in chosen].index(other[0])][1]}")
    if args.list:
        for name, preset, what, _ in MUTANTS:
            print(f"{name:28} {preset:7} {what}")
        return 0

    build = os.path.join(ROOT, "build", "mutants-" + args.preset)
    log = os.path.join(ROOT, "build", "mutants-" + args.preset + ".log")
    os.makedirs(os.path.dirname(log), exist_ok=True)
    open(log, "wb").close()
    if run(["cmake", "--preset", args.preset, "-B", build], log) != 0:
        sys.exit(f"mutants: configure failed (see {log})")
    if run(["cmake", "--build", build, "-j2"], log) != 0:
        sys.exit(f"mutants: the unmutated tree does not build (see {log})")

    # The 32-bit build's tests run where i386 programs can (test discovery
    # runs the test programs too).
    ctest = ["ctest"]
    if args.preset == "win32":
        ctest = [os.path.join(ROOT, "cmake", "i386-run"), "ctest"]
    failures = 0
    for name, preset, what, edits in chosen:
        saved = {}
        try:
            applied = True
            for path, old, new in edits:
                full = os.path.join(ROOT, path)
                if full not in saved:
                    saved[full] = open(full, encoding="utf-8").read()
                text = open(full, encoding="utf-8").read()
                if text.count(old) != 1:
                    applied = False
                    break
                open(full, "w", encoding="utf-8").write(text.replace(old, new))
            if not applied:
                print(f"NOT APPLIED {name}: the text it changes is gone", flush=True)
                failures += 1
                continue
            start = time.time()
            with open(log, "ab") as out:
                out.write(f"\n===== {name}: {what}\n".encode())
            if run(["cmake", "--build", build, "-j2"], log) != 0:
                # A fault the compiler refuses shows nothing about the tests.
                outcome = "NOT BUILT"
                failures += 1
            elif run(ctest + ["--test-dir", build, "-j2", "-LE", "reproducible", "--output-on-failure"], log) != 0:
                outcome = "CAUGHT"
            else:
                outcome = "SURVIVED"
                failures += 1
            print(f"{outcome:10} {name:28} {what} ({time.time() - start:.0f} s)", flush=True)
        finally:
            for full, text in saved.items():
                open(full, "w", encoding="utf-8").write(text)
    # The build folder is left built from the unmutated sources.
    run(["cmake", "--build", build, "-j2"], log)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
