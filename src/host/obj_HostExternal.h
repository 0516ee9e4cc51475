// window.external for the book's page scripts: the host object with the story and the active
// user form. Scripts reach members by name (letter case ignored) through the browser control's
// synchronous bridge; every failure reaches the script as an exception with the system's text.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QUrl>
#include <memory>
#include <string>

#include "u_Errors.h"
#include "u_UserForms.h"

class TMXWebBrowser;
class TStory;

class EOleSysError : public Exception {
public:
  EOleSysError(std::string message, std::int32_t code) : Exception(std::move(message)), Code(code) {}
  std::int32_t Code;
};

inline constexpr const char* SFormNotFound = "Form \"%s\" not found";
inline constexpr const char* SNoActiveForm = "There is no active form";
// The platform's text for E_UNEXPECTED, which is what a refused story move reports.
inline constexpr const char* SUnexpectedFailure = "Catastrophic failure";
inline constexpr const char* SUnknownName = "Unknown name.";
inline constexpr const char* SUnspecifiedError = "Unspecified error";
inline constexpr std::int32_t E_FAIL_STATUS = static_cast<std::int32_t>(0x80004005);
inline constexpr std::int32_t E_UNEXPECTED_STATUS = static_cast<std::int32_t>(0x8000FFFF);

// What the host objects need of the viewer.
class IHostViewer {
public:
  virtual ~IHostViewer() = default;
  virtual TStory& Story() = 0;
  virtual void NavigateToCurrentPage() = 0;
  virtual std::string GetCurrentPage() = 0;
  virtual void SyncStoryWithBrowser() = 0;
  // Asks the main window to close, without waiting for it.
  virtual void PostCloseRequest() = 0;
  // Whether the book has a user form of that name (names ignore case).
  virtual bool HasUserForm(const std::string& name) = 0;
  // Shows the form later, outside the script's synchronous call. Returns the address the
  // calling script waits on until the form has closed (empty: it does not wait).
  virtual QUrl QueueUserForm(const std::string& name) = 0;
  // The main browser, or none once it is gone.
  virtual TMXWebBrowser* WebBrowser() = 0;
};

// The user form shown at the moment, as window.external.UserForm reaches it. Sizes are outer
// sizes, positions those of the window's frame.
class IUserFormWindow {
public:
  virtual ~IUserFormWindow() = default;
  virtual TMXWebBrowser* WebBrowser() = 0;
  // Ends the form's modal showing.
  virtual void Close() = 0;
  virtual int Left() = 0;
  virtual int Top() = 0;
  virtual int Width() = 0;
  virtual int Height() = 0;
  virtual QString Caption() = 0;
  virtual void SetLeft(int value) = 0;
  virtual void SetTop(int value) = 0;
  virtual void SetWidth(int value) = 0;
  virtual void SetHeight(int value) = 0;
  virtual void SetCaption(const QString& value) = 0;
};

class TExternalStory {
public:
  explicit TExternalStory(IHostViewer& viewer) : FViewer(viewer) {}
  std::string Current();
  void First();
  void Prior();
  void Next();
  void Last();
  bool Bof();
  bool Eof();
  void PriorChapter(std::int32_t level);
  void NextChapter(std::int32_t level);

private:
  void Show(std::int32_t status);
  IHostViewer& FViewer;
};

class THostExternal {
public:
  explicit THostExternal(IHostViewer& viewer) : FViewer(viewer) {}

  // One Story object for the whole run.
  TExternalStory& Story();
  // Returns the address to wait on until the form has closed.
  QUrl ShowUserForm(const std::string& formName);
  void Terminate();
  // The form shown at the moment; none raises "There is no active form".
  IUserFormWindow& UserForm();
  IUserFormWindow* ActiveUserForm() const { return FActiveUserForm; }
  void SetActiveUserForm(IUserFormWindow* form) { FActiveUserForm = form; }

  // Answers one request of the bridge (JSON: op hello, get, call or set, with the member path
  // and arguments) with the member's kind and value, or its error.
  QString Dispatch(const QString& request);

private:
  QJsonObject Get(const QStringList& path);
  QJsonObject Call(const QStringList& path, const QJsonArray& args);
  QJsonObject Set(const QStringList& path, const QJsonValue& value);
  QJsonObject GetUserFormMember(const QStringList& path);
  // The browser's common automation members, for scripts written for such viewers.
  QJsonObject GetBrowserMember(TMXWebBrowser* web, const QString& name);
  QJsonObject CallBrowserMember(TMXWebBrowser* web, const QString& name, const QJsonArray& args);
  IHostViewer& FViewer;
  std::unique_ptr<TExternalStory> FStory;
  IUserFormWindow* FActiveUserForm = nullptr;
};
