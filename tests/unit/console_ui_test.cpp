// The terminal stand-ins of the POSIX build: message boxes as prompts, the
// dialog as progress lines, and signals as the dialog's events.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <string>

#include "tests/support/console_capture.h"
#include "platform/ui.h"
#include "tests/support/scripted_ui.h"

namespace {

const char16_t kCaption[] = u"「Lumetria」 ver 1.01 更新パッチ";

class ConsoleUiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetUiState();
    std::copy(std::begin(kCaption), std::end(kCaption), g_caption);
  }
  void TearDown() override {
    DestroyProgressDialog();
    ResetUiState();
  }
  // Answers typed at the prompts.
  void Type(const std::string& answers) { console.Type(answers); }
  // Everything shown since the test began.
  std::string Shown() { return shownSoFar += console.Shown(); }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
  }

  ConsoleCapture console;
  std::string shownSoFar;
};

TEST_F(ConsoleUiTest, BoxesShowCaptionKindAndText) {
  Type("\n\n");
  EXPECT_EQ(ShowWarning(u"ゲームがインストールされていません"), kAnswerOk);
  EXPECT_EQ(ShowInformation(u"アップデートが完了しました"), kAnswerOk);
  std::string shown = Shown();
  EXPECT_NE(shown.find("[warning] 「Lumetria」 ver 1.01 更新パッチ\nゲームがインストールされていません"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("[information] 「Lumetria」 ver 1.01 更新パッチ\nアップデートが完了しました"),
            std::string::npos)
      << shown;
}

TEST_F(ConsoleUiTest, QuestionAnswersYesOnlyWhenAskedTo) {
  struct Case {
    const char* typed;
    int answer;
  };
  const Case cases[] = {{"y\n", kAnswerYes}, {"Y\n", kAnswerYes}, {"yes\n", kAnswerYes}, {"\n", kAnswerNo},
                        {"n\n", kAnswerNo},  {"maybe\n", kAnswerNo}, {"", kAnswerNo}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    Type(c.typed);
    EXPECT_EQ(AskQuestion(nullptr, u"アップデートを行いますか？"), c.answer);
  }
  EXPECT_NE(Shown().find("[question] 「Lumetria」 ver 1.01 更新パッチ\nアップデートを行いますか？\n[y/N]"),
            std::string::npos);
}

TEST_F(ConsoleUiTest, InterruptAsksTheCancelQuestionUntilConfirmed) {
  Type("n\ny\ny\n");
  ASSERT_TRUE(CreateProgressDialog());
  ASSERT_NE(g_dialog, nullptr);
  EXPECT_EQ(PumpPendingMessages(), 0) << "nothing pending";

  raise(SIGINT);
  EXPECT_EQ(PumpPendingMessages(), 0);
  EXPECT_EQ(g_cancelRequested, 0) << "answered No";
  raise(SIGINT);
  EXPECT_EQ(PumpPendingMessages(), 0);
  EXPECT_EQ(g_cancelRequested, 1) << "answered Yes";
  raise(SIGINT);
  EXPECT_EQ(PumpPendingMessages(), 0);
  EXPECT_EQ(Count(Shown(), "アップデートを中止しますか？"), 2u) << "no question once cancel is confirmed";
  EXPECT_EQ(g_windowClosed, 0);
}

TEST_F(ConsoleUiTest, HangUpAndTerminateCloseTheDialogAndQuitIsReported) {
  for (int closing : {SIGHUP, SIGTERM}) {
    SCOPED_TRACE(closing);
    ResetUiState();
    Type("");
    ASSERT_TRUE(CreateProgressDialog());
    raise(closing);
    EXPECT_EQ(PumpPendingMessages(), 0);
    EXPECT_EQ(g_windowClosed, 1);
    EXPECT_EQ(g_dialog, nullptr);
    DestroyProgressDialog();
  }
  ResetUiState();
  ASSERT_TRUE(CreateProgressDialog());
  raise(SIGQUIT);
  EXPECT_EQ(PumpPendingMessages(), 1);
  EXPECT_EQ(PumpPendingMessages(), 0) << "the quit request is taken once";
  EXPECT_EQ(g_windowClosed, 0) << "the run, not the pump, turns a quit into the closed flag";
}

TEST_F(ConsoleUiTest, ProgressLinesShowTheStatusTexts) {
  Type("");
  ASSERT_TRUE(CreateProgressDialog());
  ShowProgressDialog(0);
  std::unique_ptr<ProgressUi> ui = CreatePlatformProgressUi();
  ui->SetFileRange(0xFFFF);
  ui->SetOverallRange(2);
  ui->SetStatus(u"data01100.arcをインストール中");
  ui->SetFilePosition(65535);
  ui->SetOverallPosition(1);
  EXPECT_EQ(ui->Pump(), 0);
  DestroyProgressDialog();
  ui->SetStatus(u"after the dialog is gone");
  std::string shown = Shown();
  EXPECT_NE(shown.find("「Lumetria」 ver 1.01 更新パッチ\n"), std::string::npos);
  EXPECT_NE(shown.find("data01100.arcをインストール中\n"), std::string::npos);
  EXPECT_EQ(shown.find("after the dialog is gone"), std::string::npos) << "nothing is shown without the dialog";
}

}  // namespace
