// How a run's result reaches the player: the box (kind, caption, text) and
// the exit status, for every result the run gives and for ones it does not,
// read back from the terminal stand-in of the message box.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>

#include "app/patch_main.h"
#include "platform/ui.h"
#include "tests/support/console_capture.h"
#include "tests/support/scripted_ui.h"

namespace {

const char16_t kCaption[] = u"「Lumetria」 ver 1.01 更新パッチ";
const char kCaptionUtf8[] = "「Lumetria」 ver 1.01 更新パッチ";

// The texts as the player must see them, spelled out here on their own.
std::string Pad(const char* text, int spaces) {
  std::string padded = text;
  for (int i = 0; i < spaces; ++i) padded += "\u3000";
  return padded;
}
const std::string kCompleted = Pad("アップデートが完了しました", 13);
const std::string kDamaged = "アップデートプログラムが破損している可能性があります";
const std::string kWriteFailed = Pad("何らかの要因によりアップデートが行えません", 5);
const std::string kUninstallList = Pad("アンインストレーションファイルの更新に失敗しました", 1);

std::string Box(const char* kind, const std::string& text) {
  return std::string("\n[") + kind + "] " + kCaptionUtf8 + "\n" + text + "\n[OK] ";
}

TEST(OutcomeTest, EveryResultHasItsBoxAndIsTheExitStatus) {
  ResetUiState();
  std::copy(std::begin(kCaption), std::end(kCaption), g_caption);
  struct Case {
    UpdateResult result;
    std::string shown;  // empty: no box at all
  };
  const Case cases[] = {
      {UPDATE_OK, Box("information", kCompleted)},
      {UPDATE_E_PAYLOAD, Box("warning", kDamaged)},
      {UPDATE_E_TOO_MANY_ENTRIES, Box("warning", kDamaged)},
      {UPDATE_E_PAYLOAD_RESERVED, Box("warning", kDamaged)},
      {UPDATE_E_WRITE, Box("warning", kWriteFailed)},
      {UPDATE_E_UNINSTALL_LIST, Box("warning", kUninstallList)},
      {UPDATE_E_CANCELLED, ""},  // the player stopped it: nothing more to say
      {UPDATE_E_CLOSED, ""},
      {0x80000099u, ""},  // results the program does not know
      {0x00000001u, ""},
      {0xFFFFFFFFu, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "result 0x" << std::hex << c.result);
    ConsoleCapture console("\n");
    EXPECT_EQ(ReportOutcome(c.result), static_cast<int32_t>(c.result));
    EXPECT_EQ(console.Shown(), c.shown);
  }
}

}  // namespace
