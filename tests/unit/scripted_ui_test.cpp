// The scripted progress interface that the update run's tests drive.
#include <gtest/gtest.h>

#include "tests/support/scripted_ui.h"

namespace {

using Action = ScriptedProgressUi::Action;
using Event = ScriptedProgressUi::Event;

class ScriptedUiTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetUiState(); }
  void TearDown() override { ResetUiState(); }
};

TEST_F(ScriptedUiTest, RecordsWhatWasShownInOrder) {
  ScriptedProgressUi ui;
  ui.SetFileRange(0xFFFF);
  ui.SetOverallRange(3);
  EXPECT_EQ(ui.Pump(), 0);
  ui.SetStatus(u"a.arcをインストール中");
  ui.SetFilePosition(65535);
  ui.SetOverallPosition(1);
  EXPECT_EQ(ui.Calls(), 6u);
  EXPECT_EQ(ui.PumpCalls(), 1u);
  EXPECT_EQ(ui.Statuses(), std::vector<std::u16string>{u"a.arcをインストール中"});
  EXPECT_EQ(ui.Values(Event::FileRange), std::vector<uint32_t>{0xFFFF});
  EXPECT_EQ(ui.Values(Event::FilePosition), std::vector<uint32_t>{65535});
  EXPECT_EQ(ui.Values(Event::OverallRange), std::vector<uint32_t>{3});
  EXPECT_EQ(ui.Values(Event::OverallPosition), std::vector<uint32_t>{1});
}

TEST_F(ScriptedUiTest, ActsAtTheChosenCall) {
  struct Case {
    Action action;
    int32_t cancel;
    int32_t closed;
    std::vector<uint32_t> pumpResults;  // of pumps at calls 1, 3 and 4
  };
  const Case cases[] = {
      {Action::Cancel, 1, 0, {0, 0, 0}},
      {Action::Close, 0, 1, {0, 0, 0}},
      {Action::Quit, 0, 0, {0, 1, 0}},  // arranged at a status call: the next pump reports it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.action));
    ResetUiState();
    int dialog = 0;
    g_dialog = &dialog;
    ScriptedProgressUi ui;
    ui.At(2, c.action);
    ui.Pump();
    EXPECT_EQ(g_cancelRequested + g_windowClosed, 0) << "nothing before the chosen call";
    ui.SetStatus(u"x");
    EXPECT_EQ(g_cancelRequested, c.cancel);
    EXPECT_EQ(g_windowClosed, c.closed);
    EXPECT_EQ(g_dialog == nullptr, c.closed == 1) << "closing takes the dialog away";
    ui.Pump();
    ui.Pump();
    EXPECT_EQ(ui.Values(Event::Pump), c.pumpResults);
  }
}

}  // namespace
