// The bulk-send dialog's model: marks, sending to marked rows (stopping at
// the first failure), the single-address field, and the message texts.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>

#include "TestEngine.h"

namespace {

/// A mail object whose sends are scripted: each address answers as listed
/// (true when absent), and every call is recorded. A failed send gives the
/// reason "Grund: <address>".
class ScriptedSends : public TFMailTools {
 public:
  using TFMailTools::TFMailTools;
  std::map<std::string, bool> results;
  std::vector<std::string> sent;
  bool SendSignature(const std::string& address, bool manual) override {
    EXPECT_TRUE(manual);
    sent.push_back(address);
    auto it = results.find(address);
    const bool ok = it == results.end() || it->second;
    if (!ok) lastFailure_ = "Grund: " + address;
    return ok;
  }
};

class BulkSend : public ::testing::Test {
 protected:
  BulkSend() {
    owned = std::make_unique<ScriptedSends>(e.settings->Store(), *e.db, *e.main, e.ui);
    mail = owned.get();
  }
  void Rows(std::vector<std::vector<std::string>> rows) {
    mail->SGrid_Mail = {{"Mail senden", "Adresse"}};
    for (auto& r : rows) mail->SGrid_Mail.push_back(r);
  }
  std::vector<std::string> Marks() const {
    std::vector<std::string> m;
    for (std::size_t r = 1; r < mail->SGrid_Mail.size(); ++r) m.push_back(mail->SGrid_Mail[r][0]);
    return m;
  }
  TestEngine e;
  // Beside the engine's own mail object, wired alike.
  std::unique_ptr<ScriptedSends> owned;
  ScriptedSends* mail;
};

const char* const kAllSent = "Signaturen wurden erfolgreich versand.";
const char* const kNotAllSent =
    "Es konnten nicht alle Signaturen versand werden. Genauere Informationen finden Sie in dem Log-File.";
const char* const kSingleFailed = "Fehler! Die Signatur konnte nicht gesendet werden!";
const char* const kNoneChosen = "Es wurde kein Benutzer ausgewählt.";

}  // namespace

TEST_F(BulkSend, MarkingAllNoneAndToggle) {
  Rows({{"Nein", "a@x.test"}, {"Nein", "b@x.test"}, {"Nein", "c@x.test"}});
  mail->Btn_alleClick();
  EXPECT_EQ(Marks(), (std::vector<std::string>{"Ja", "Ja", "Ja"}));
  mail->Btn_keineClick();
  EXPECT_EQ(Marks(), (std::vector<std::string>{"Nein", "Nein", "Nein"}));

  mail->SGrid_MailCol = 0;
  mail->SGrid_MailRow = 2;
  mail->SGrid_MailMouseUp();
  EXPECT_EQ(Marks(), (std::vector<std::string>{"Nein", "Ja", "Nein"}));
  mail->SGrid_MailMouseUp();
  EXPECT_EQ(Marks(), (std::vector<std::string>{"Nein", "Nein", "Nein"})) << "twice returns to the first state";

  mail->SGrid_Mail[3][0] = "something else";
  mail->SGrid_MailRow = 3;
  mail->SGrid_MailMouseUp();
  EXPECT_EQ(Marks()[2], "Ja");

  mail->SGrid_MailCol = 1;
  mail->SGrid_MailMouseUp();
  EXPECT_EQ(Marks()[2], "Ja") << "a click in the address column changes nothing";
  mail->SGrid_MailCol = 0;
  mail->SGrid_MailRow = 0;
  mail->SGrid_MailMouseUp();
  EXPECT_EQ(mail->SGrid_Mail[0][0], "Mail senden") << "the header row is no data row";
}

TEST_F(BulkSend, SendingToMarkedRows) {
  struct {
    const char* what;
    std::vector<std::vector<std::string>> rows;
    std::map<std::string, bool> results;
    std::vector<std::string> sent;
    const char* message;
  } cases[] = {
      {"nothing marked", {{"Nein", "a@x.test"}, {"Nein", "b@x.test"}}, {}, {}, kNoneChosen},
      {"no rows at all", {}, {}, {}, kNoneChosen},
      {"only marked rows, in order",
       {{"Ja", "a@x.test"}, {"Nein", "b@x.test"}, {"Ja", "c@x.test"}},
       {},
       {"a@x.test", "c@x.test"},
       kAllSent},
      {"stops at the first failure",
       {{"Ja", "a@x.test"}, {"Ja", "b@x.test"}, {"Ja", "c@x.test"}},
       {{"b@x.test", false}},
       {"a@x.test", "b@x.test"},
       kNotAllSent},
      {"only the exact mark counts", {{"ja", "a@x.test"}, {"Ja ", "b@x.test"}}, {}, {}, kNoneChosen},
      {"a failure at the last row",
       {{"Ja", "a@x.test"}, {"Ja", "b@x.test"}},
       {{"b@x.test", false}},
       {"a@x.test", "b@x.test"},
       kNotAllSent},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rows(c.rows);
    mail->results = c.results;
    mail->sent.clear();
    e.ui.messages.clear();
    mail->Btn_sendClick();
    EXPECT_EQ(mail->sent, c.sent);
    EXPECT_EQ(e.ui.messages, std::vector<std::string>{c.message});
  }
}

TEST_F(BulkSend, SingleAddress) {
  struct {
    const char* typed;
    bool result;
    std::vector<std::string> sent;
    std::vector<std::string> messages;
  } cases[] = {
      {"", true, {}, {kSingleFailed}},
      {"Anna <a@x.test>", true, {"Anna <a@x.test>"}, {}},
      {"unknown@x.test", false, {"unknown@x.test"}, {std::string(kSingleFailed) + "\r\nGrund: unknown@x.test"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.typed);
    mail->E_eineAdr = c.typed;
    mail->results = {{c.typed, c.result}};
    mail->sent.clear();
    e.ui.messages.clear();
    mail->Button2Click();
    EXPECT_EQ(mail->sent, c.sent);
    EXPECT_EQ(e.ui.messages, c.messages);
    EXPECT_EQ(mail->E_eineAdr, c.typed) << "the field keeps its text";
  }
}

TEST_F(BulkSend, ShowWithoutDirectoryKeepsRowsUnmarked) {
  Rows({{"Ja", "a@x.test"}, {"Ja", "b@x.test"}});
  mail->FormShow();  // the directory is not configured: FindUser fails
  EXPECT_EQ(mail->SGrid_Mail[0], (std::vector<std::string>{"Mail senden", "Adresse"}));
  EXPECT_EQ(mail->SGrid_MailColWidth1, 300);
  EXPECT_EQ(Marks(), (std::vector<std::string>{"Nein", "Nein"}));
  EXPECT_EQ(mail->SGrid_Mail[1][1], "a@x.test");
}

TEST_F(BulkSend, ControllerActions) {
  e.main->Btn_sendManualClick();
  EXPECT_EQ(e.ui.modalDialogs, std::vector<std::string>{"TFrm_Mail"});
  mail->Button1Click();
  EXPECT_TRUE(mail->closeRequested);
}

TEST_F(BulkSend, CancelStopsBeforeTheNextSendAndLogsTheCount) {
  // The flag is read before each send: set while the n-th send is in
  // flight, it lets that one finish and stops before the next.
  struct {
    const char* what;
    std::size_t cancelDuring;  // 0: never
    std::vector<std::string> sent;
    bool cancelled;
    const char* message;
  } cases[] = {
      {"during the second of four",
       2,
       {"a@x.test", "b@x.test"},
       true,
       "Der Versand wurde abgebrochen. Es wurden 2 von 4 Signaturen versendet."},
      {"during the last one: all went out", 4, {"a@x.test", "b@x.test", "c@x.test", "d@x.test"}, false, kAllSent},
      {"never", 0, {"a@x.test", "b@x.test", "c@x.test", "d@x.test"}, false, kAllSent},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rows({{"Ja", "a@x.test"}, {"Ja", "b@x.test"}, {"Nein", "x@x.test"}, {"Ja", "c@x.test"}, {"Ja", "d@x.test"}});
    mail->sent.clear();
    e.ui.messages.clear();
    auto cancelLines = [&] {
      auto log = e.LogMessages();
      return std::count(log.begin(), log.end(),
                        "Der Versand wurde abgebrochen. Es wurden 2 von 4 Signaturen versendet.");
    };
    const auto cancelLinesBefore = cancelLines();
    std::atomic<bool> cancel{false};
    std::vector<std::string> progress;
    TFMailTools::SendRun run = mail->PrepareSend(false);
    mail->RunSend(
        run,
        [&](std::size_t number, std::size_t count, const std::string& address) {
          progress.push_back(std::to_string(number) + "/" + std::to_string(count) + " " + address);
          if (number == c.cancelDuring) cancel = true;
        },
        &cancel);
    mail->ReportSend(run);
    EXPECT_EQ(mail->sent, c.sent);
    EXPECT_EQ(run.sent, c.sent.size());
    EXPECT_EQ(run.cancelled, c.cancelled);
    ASSERT_EQ(progress.size(), c.sent.size());
    EXPECT_EQ(progress.front(), "1/4 a@x.test");
    EXPECT_EQ(progress.back(), std::to_string(c.sent.size()) + "/4 " + c.sent.back());
    EXPECT_EQ(e.ui.messages, std::vector<std::string>{c.message});
    EXPECT_EQ(cancelLines() - cancelLinesBefore, c.cancelled ? 1 : 0);
    EXPECT_EQ(Marks(), (std::vector<std::string>{"Ja", "Ja", "Nein", "Ja", "Ja"})) << "the marks stay";
  }
}
