// The progress dialog and the message boxes, driven from another process the
// way a user (or the system) would drive them.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_driver.h"

namespace {

const std::wstring kCaption = L"「Lumetria」 ver 1.01 更新パッチ";
const std::wstring kCancelQuestion = L"アップデートを中止しますか？　　　　　　　　　　　　";

class UiHostTest : public ::testing::Test {
 protected:
  void Start(const wchar_t* mode) {
    ASSERT_TRUE(host.Start(ProgramFolder() + L"ui_host.exe", mode));
    probe = WaitForWindow([&] { return FindWindowByTitlePrefix(host.ProcessId(), L"ui_host probe"); });
    ASSERT_NE(probe, nullptr);
  }
  void StartDialog(const wchar_t* mode = L"dialog") {
    Start(mode);
    dialog = WaitForWindow([&] { return FindProgressDialog(host.ProcessId()); });
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(dialog); }));
  }
  int State(const wchar_t* name) { return ValueOf(WindowText(probe), name); }
  // Lets the host pump a few times, so that nothing posted is still queued.
  void Settle() {
    int before = State(L"pumped");
    PostMessageW(probe, WM_APP, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return State(L"pumped") > before; }));
  }
  std::string Finish() {
    DWORD status = 0;
    EXPECT_TRUE(host.Wait(20000, &status));
    return host.Output();
  }

  HostProcess host;
  HWND probe = nullptr;
  HWND dialog = nullptr;
};

TEST_F(UiHostTest, DialogShowsCaptionControlsAndSampleProgress) {
  StartDialog();
  EXPECT_EQ(WindowText(dialog), kCaption);
  EXPECT_EQ(WindowText(GetDlgItem(dialog, 1000)), L"中止");
  EXPECT_EQ(WindowText(GetDlgItem(dialog, 1001)), L"data01100.arcをインストール中");
  HWND fileBar = GetDlgItem(dialog, 1002);
  HWND overallBar = GetDlgItem(dialog, 1003);
  EXPECT_EQ(ClassName(fileBar), L"msctls_progress32");
  EXPECT_EQ(SendMessageW(fileBar, PBM_GETRANGE, FALSE, 0), 0xFFFF);
  EXPECT_EQ(SendMessageW(fileBar, PBM_GETPOS, 0, 0), 40000);
  EXPECT_EQ(SendMessageW(overallBar, PBM_GETRANGE, FALSE, 0), 9);
  EXPECT_EQ(SendMessageW(overallBar, PBM_GETPOS, 0, 0), 3);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, 1000)));
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  Finish();
}

TEST_F(UiHostTest, DialogIsCentredOnTheFirstMonitor) {
  StartDialog();
  RECT monitor = FirstMonitor();
  RECT window;
  GetWindowRect(dialog, &window);
  LONG width = window.right - window.left;
  LONG height = window.bottom - window.top;
  EXPECT_EQ(window.left, (monitor.right - monitor.left - width) / 2);
  EXPECT_EQ(window.top, (monitor.bottom - monitor.top - height) / 2);
  EXPECT_GT(width, 0);
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  Finish();
}

TEST_F(UiHostTest, CancelQuestionNoThenYesThenNothingMore) {
  StartDialog();
  ClickButton(dialog, 1000);
  HWND box = WaitForWindow([&] { return FindMessageBox(host.ProcessId()); });
  ASSERT_NE(box, nullptr) << "the cancel question appears";
  MessageBoxView view = ReadMessageBox(box);
  EXPECT_EQ(view.caption, kCaption);
  EXPECT_EQ(view.text, kCancelQuestion);
  EXPECT_EQ(view.buttons, (std::vector<int>{IDYES, IDNO}));
  EXPECT_EQ(view.defaultButton, IDNO);
  EXPECT_EQ(ShownSystemIcon(view.iconControl), IDI_QUESTION);
  EXPECT_EQ(GetWindow(box, GW_OWNER), dialog) << "the dialog owns its question";

  ClickButton(box, IDNO);
  ASSERT_TRUE(WaitUntil([&] { return FindMessageBox(host.ProcessId()) == nullptr; }));
  Settle();
  EXPECT_EQ(State(L"cancel"), 0);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, 1000))) << "No leaves the button enabled";

  ClickButton(dialog, 1000);
  box = WaitForWindow([&] { return FindMessageBox(host.ProcessId()); });
  ASSERT_NE(box, nullptr);
  ClickButton(box, IDYES);
  ASSERT_TRUE(WaitUntil([&] { return State(L"cancel") == 1; })) << "Yes raises the flag";
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 1000))) << "and disables the button";

  // The button is disabled now; a command that still reaches the dialog
  // must not ask again.
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(1000, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, 1000)));
  Settle();
  Sleep(200);
  EXPECT_EQ(FindMessageBox(host.ProcessId()), nullptr) << "a second click asks nothing";
  EXPECT_EQ(State(L"closed"), 0);
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  EXPECT_NE(Finish().find("cancel=1 closed=1"), std::string::npos);
}

TEST_F(UiHostTest, AltF4AndEscapeDoNothing) {
  StartDialog();
  PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  PostMessageW(dialog, WM_SYSKEYDOWN, VK_F4, 1 << 29);
  PostMessageW(GetDlgItem(dialog, 1000), WM_KEYDOWN, VK_ESCAPE, 1);
  PostMessageW(GetDlgItem(dialog, 1000), WM_KEYUP, VK_ESCAPE, 0xC0000001);
  PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  Settle();
  Sleep(200);
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_EQ(State(L"closed"), 0);
  EXPECT_EQ(State(L"cancel"), 0);
  EXPECT_EQ(State(L"dialog"), 1);
  EXPECT_EQ(FindMessageBox(host.ProcessId()), nullptr) << "Esc does not ask the cancel question";
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  Finish();
}

TEST_F(UiHostTest, CloseDestroysTheDialogAndRaisesTheFlag) {
  StartDialog();
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
  // The host reports the flags and whether g_dialog was cleared as it ends.
  EXPECT_NE(Finish().find("cancel=0 closed=1 quit=0 dialog=0"), std::string::npos) << host.Output();
}

TEST_F(UiHostTest, QuitIsReportedAfterTheMessagesBeforeIt) {
  StartDialog(L"quit-order");
  for (int i = 0; i < 3; ++i) PostMessageW(probe, WM_APP, 0, 0);
  ASSERT_TRUE(PostThreadMessageW(host.ThreadId(), WM_QUIT, 0, 0));
  PostMessageW(probe, WM_APP, 0, 0);
  // The host makes the event just after it shows the dialog.
  HANDLE go = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (go = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"ui_host_go")) != nullptr; }));
  SetEvent(go);
  CloseHandle(go);
  EXPECT_NE(Finish().find("first=1 count=3 second=0 count=4"), std::string::npos) << host.Output();
}

TEST_F(UiHostTest, MessageBoxesCarryTheCaptionIconAndButtons) {
  Start(L"boxes");
  struct Expected {
    const wchar_t* text;
    std::vector<int> buttons;
    int defaultButton;
    LPCWSTR icon;
    int answer;
  };
  const Expected boxes[] = {
      {L"警告のテスト", {IDOK}, IDOK, IDI_WARNING, IDOK},
      {L"情報のテスト", {IDOK}, IDOK, IDI_INFORMATION, IDOK},
      {L"質問のテスト", {IDYES, IDNO}, IDNO, IDI_QUESTION, IDYES},
  };
  for (const Expected& expected : boxes) {
    HWND box = WaitForWindow([&] {
      HWND found = FindMessageBox(host.ProcessId());
      return found != nullptr && WindowText(GetDlgItem(found, 0xFFFF)) == expected.text ? found : nullptr;
    });
    ASSERT_NE(box, nullptr);
    MessageBoxView view = ReadMessageBox(box);
    EXPECT_EQ(view.caption, kCaption);
    EXPECT_EQ(view.buttons, expected.buttons);
    EXPECT_EQ(view.defaultButton, expected.defaultButton);
    EXPECT_EQ(ShownSystemIcon(view.iconControl), expected.icon);
    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr) << "no owner";
    ClickButton(box, expected.answer);
  }
  EXPECT_NE(Finish().find("warning=1 information=1 question=6"), std::string::npos) << host.Output();
}

}  // namespace
