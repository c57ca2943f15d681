#include "app/patch_main.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "install/installed_folder.h"
#include "install/version_check.h"
#include "update/recovery.h"
#include "update/update_run.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "text/text_codec.h"

namespace {


int32_t CheckAndUpdateIn(OsFolder root, const char16_t* folder, int showCommand);

// Everything between taking the engine mutex and releasing it: the checks,
// the confirmation, the dialog around the run, and the outcome.
int32_t CheckAndUpdate(int showCommand) {
  char16_t folder[kPathCapacity] = {};
  if (!GetInstalledFolder(folder, kPathCapacity, kGamePublisher, kGameTitle)) {
    ShowWarning(kNotInstalledMessage);
    return kExitNotInstalled;
  }
  // The folder is opened once, for the recovery, the version check and the
  // run alike: its parent is often writable by every user, and a folder
  // swapped in at its path after the check would otherwise take the update.
  OsFolderOwner root(OsOpenFolder(folder));
  return CheckAndUpdateIn(root.Get(), folder, showCommand);
}

int32_t CheckAndUpdateIn(OsFolder root, const char16_t* folder, int showCommand) {
  // An update interrupted during its commit is carried through first, so
  // the version check sees a whole installation. One that it finishes is
  // reported as the run would have reported it; one it puts back, or none,
  // goes on as a fresh start.
  Recovered recovered = Recovered::Nothing;
  UpdateResult recovery = RecoverInterruptedUpdateIn(root, folder, &recovered);
  if (recovery != UPDATE_OK || recovered == Recovered::Finished) return ReportOutcome(recovery);
  if (!CheckInstalledVersionIn(root)) return kExitNotInstalled;
  if (AskQuestion(nullptr, kConfirmQuestion) != kAnswerYes) return kExitDeclined;
  if (!CreateProgressDialog()) {
    ShowWarning(kDialogFailedMessage);
    return kExitDialogFailed;
  }
  ShowProgressDialog(showCommand);
  UpdateResult result;
  {
    std::unique_ptr<ProgressUi> ui = CreatePlatformProgressUi();
    result = RunUpdateIn(root, folder, *ui);
  }
  DestroyProgressDialog();
  return ReportOutcome(result);
}

}  // namespace

// The outcome message of an update that ran; none for a stop.
int32_t ReportOutcome(UpdateResult result) {
  switch (result) {
    case UPDATE_OK:
      ShowInformation(kCompletedMessage);
      break;
    case UPDATE_E_PAYLOAD:
    case UPDATE_E_TOO_MANY_ENTRIES:
    case UPDATE_E_PAYLOAD_RESERVED:
      ShowWarning(kDamagedMessage);
      break;
    case UPDATE_E_WRITE:
      ShowWarning(kWriteFailedMessage);
      break;
    case UPDATE_E_UNINSTALL_LIST:
      ShowWarning(kUninstallListMessage);
      break;
    default:
      break;
  }
  return static_cast<int32_t>(result);
}

int32_t PatchMain(int showCommand) {
  uint32_t error = 0;
  OsMutex updater = OsCreateNamedMutex(kUpdaterMutexName, true, &error);
  if (error != OS_ERROR_SUCCESS) {
    // Another copy runs (or the mutex could not be made): end silently,
    // with the handle's value as the status.
    OsCloseMutex(updater);
    return static_cast<int32_t>(updater);
  }
  std::copy(std::begin(kCaptionText), std::end(kCaptionText), g_caption);

  int32_t status;
  OsMutex engine = OsCreateNamedMutex(kEngineMutexName, true, &error);
  if (error != OS_ERROR_SUCCESS) {
    ShowWarning(kGameRunningMessage);
    status = kExitGameRunning;
  } else {
    // Held, owned, until the end: the game cannot start meanwhile.
    status = CheckAndUpdate(showCommand);
  }
  OsCloseMutex(engine);
  OsCloseMutex(updater);
  return status;
}
