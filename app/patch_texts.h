// The fixed texts, names and exit statuses of the program.
#pragma once

#include <cstdint>

// The caption of every box and of the dialog.
inline constexpr char16_t kCaptionText[] = u"「Lumetria」 ver 1.01 更新パッチ";

// The names of the two mutexes: this program's own, and the one the game,
// its launcher and its uninstaller hold while they run.
inline constexpr char kUpdaterMutexName[] = "Updater for Lumetria is executing.";
inline constexpr char kEngineMutexName[] = "Talmoret for Lumetria is executing.";

// The texts of start-up and of the outcome. One-line texts shorter than 26
// characters are padded with U+3000 to 26.
inline constexpr char16_t kGameRunningMessage[] =
    u"ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません";
inline constexpr char16_t kNotInstalledMessage[] = u"ゲームがインストールされていません　　　　　　　　　";
inline constexpr char16_t kConfirmQuestion[] = u"アップデートを行いますか？　　　　　　　　　　　　　";
inline constexpr char16_t kDialogFailedMessage[] = u"ダイアログの起動に失敗しました　　　　　　　　　　　";
inline constexpr char16_t kCompletedMessage[] = u"アップデートが完了しました　　　　　　　　　　　　　";
inline constexpr char16_t kDamagedMessage[] = u"アップデートプログラムが破損している可能性があります";
inline constexpr char16_t kWriteFailedMessage[] = u"何らかの要因によりアップデートが行えません　　　　　";
inline constexpr char16_t kUninstallListMessage[] = u"アンインストレーションファイルの更新に失敗しました　";

// Exit statuses of the start-up checks; a run that updated returns its
// UpdateResult, and a second copy the value of its mutex handle.
inline constexpr int32_t kExitNotInstalled = -1;
inline constexpr int32_t kExitGameRunning = -2;
inline constexpr int32_t kExitDeclined = -3;
inline constexpr int32_t kExitDialogFailed = -4;
