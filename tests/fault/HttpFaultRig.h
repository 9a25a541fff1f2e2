#pragma once
// The whole engine behind the real HTTP server on 127.0.0.1, reading its
// users from a private slapd: what the fault tests send "/make" requests to.
// The directory's time-outs are cut to one second so that a hung server costs
// the tests little; the retry wait of the signature files is skipped.

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "DirectoryFixtures.h"
#include "app/Main.h"
#include "RawHttp.h"
#include "RecordingUserInterface.h"
#include "TestDir.h"
#include "TestEngine.h"
#include "TestSupport.h"
#include "directory/UDBUtil.h"
#include "mail/UMailTools.h"
#include "base/UProgState.h"
#include "settings/USetting.h"
#include "http/USocketServer.h"

/// Records like RecordingUserInterface and lets a test act at the moment a
/// log line is written (on the writing thread), e.g. to make a peer fail
/// between two steps of one request.
class HookedUserInterface : public RecordingUserInterface {
 public:
  using Hook = std::function<void(const std::string& line)>;
  void SetHook(Hook hook) {
    std::lock_guard lk(hookMutex_);
    hook_ = std::move(hook);
  }
  void AppendLogLine(const std::string& line) override {
    RecordingUserInterface::AppendLogLine(line);
    Hook hook;
    {
      std::lock_guard lk(hookMutex_);
      hook = hook_;
    }
    if (hook) hook(line);
  }

 private:
  std::mutex hookMutex_;
  Hook hook_;
};

class HttpFaultRig {
 public:
  /// Users user00001 ... user00005 in a new slapd (started here), a project
  /// with the template "<p>#givenName# #sn#</p>" and the attachment
  /// "logo.gif" in temp/, signature type HTML, the server listening.
  HttpFaultRig() {
    ldap.AddUsers(5);
    ldap.Start();
    WriteFileBytes(dir / "ResponsePage.htm", "<!DOCTYPE html>\n<p>#ResponseText#</p>\n");
    WriteFileBytes(Store("logo.gif"), "GIF89a");

    GeneralSettings g;
    g.useAD = true;
    g.adPath = ldap.AdsPath();
    g.adUserId = ldap.BindDn();
    g.adPassword = ldap.BindPassword();
    g.fieldNames1 = "mail,givenName,sn";
    g.contentType = ctHtml;
    settings.SetGeneralSettings(g);
    db.ConfigureConnection("", "", "", "", g.adUserId, g.adPassword);
    db.ADOConnection_AD.SetConnectTimeout(1);
    db.ADOConnection_AD.SetCommandTimeout(1);
    form.SetRetryWait([](std::chrono::milliseconds) {});
    form.M_Signatur_HTML = {"<p>#givenName# #sn#</p>"};
    form.LB_shortNames = {"logo.gif"};
    form.BuildPlaceholderList();

    module.IdHTTPServer1.AddBinding("127.0.0.1", 0);
    module.IdHTTPServer1.SetActive(true);
    port = module.IdHTTPServer1.ListeningPorts().at(0);
  }
  ~HttpFaultRig() {
    module.DataModuleDestroy();
    ClearState();
  }

  void SetContentType(std::uint8_t type) {
    GeneralSettings g = settings.GetGeneralSettings();
    g.contentType = type;
    settings.SetGeneralSettings(g);
  }

  /// The attachment store, or a file in it.
  std::string Store(const std::string& name = "") const { return dir / ("temp/" + name); }

  RawHttpReply Make(const std::string& address) { return RawHttpExchange(port, RawHttpGet("/make?" + address)); }

  /// An answer page built from the rig's ResponsePage.htm.
  static std::string Page(const std::string& message) { return "<!DOCTYPE html>\r\n<p>" + message + "</p>\r\n"; }
  static std::string FileList(const std::string& address, const std::string& extension = ".txt") {
    return address + extension + "\nlogo.gif\n";
  }

  /// Log lines without their time stamps, from line `from` on.
  std::vector<std::string> LogSince(std::size_t from) const {
    std::vector<std::string> out;
    const auto lines = ui.LogLines();
    for (std::size_t i = from; i < lines.size(); ++i) {
      auto colon = lines[i].find(": ");
      out.push_back(colon == std::string::npos ? lines[i] : lines[i].substr(colon + 2));
    }
    return out;
  }
  std::size_t LogMark() const { return ui.LogLines().size(); }

  /// True when another thread can take SignatureLock, DirectoryLock and
  /// ConversionLock right now.
  bool LocksFree() { return LocksAreFree({&form.SignatureLock(), &db.DirectoryLock(), &form.ConversionLock()}); }

  SlapdFixture ldap;
  HookedUserInterface ui;
  TestEngine engine{ProgramKind::Desktop, &ui};
  TestDir& dir = engine.dir;
  TForm_main& form = *engine.main;
  TFSettings& settings = *engine.settings;
  TFDBUtil& db = *engine.db;
  TFMailTools& mail = *engine.mail;
  TKomponentModule& module = *engine.http;
  std::uint16_t port = 0;
};
