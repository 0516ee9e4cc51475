#include "obj_HostExternal.h"

#include <QJsonDocument>

#include "c_MXWebBrowser.h"
#include "u_BookText.h"
#include "u_CodePage.h"
#include "u_Story.h"

namespace {

QJsonObject Kind(const char* kind) { return QJsonObject{{"kind", kind}}; }
QJsonObject Value(const QJsonValue& v) { return QJsonObject{{"kind", "value"}, {"value", v}}; }

bool Is(const QString& name, const char* member) { return name.compare(QLatin1String(member), Qt::CaseInsensitive) == 0; }

[[noreturn]] void UnknownName() { throw EOleSysError(SUnknownName, static_cast<std::int32_t>(0x80020006)); }

std::int32_t IntArg(const QJsonArray& args, int i) {
  if (i >= args.size()) throw EOleSysError("Invalid number of parameters.", static_cast<std::int32_t>(0x8002000E));
  return static_cast<std::int32_t>(args[i].toDouble());
}

}  // namespace

// ---------------------------------------------------------------- TExternalStory

void TExternalStory::Show(std::int32_t status) {
  // A refused move reports its status; the story's own message does not travel with it.
  if (status != STORY_S_OK) throw EOleSysError(SUnexpectedFailure, status);
  FViewer.NavigateToCurrentPage();
}

std::string TExternalStory::Current() { return FViewer.GetCurrentPage(); }
void TExternalStory::First() {
  FViewer.Story().First();
  Show(STORY_S_OK);
}
void TExternalStory::Prior() { Show(FViewer.Story().Prior()); }
void TExternalStory::Next() { Show(FViewer.Story().Next()); }
void TExternalStory::Last() {
  FViewer.Story().Last();
  Show(STORY_S_OK);
}
bool TExternalStory::Bof() {
  FViewer.SyncStoryWithBrowser();
  return FViewer.Story().Bof();
}
bool TExternalStory::Eof() {
  FViewer.SyncStoryWithBrowser();
  return FViewer.Story().Eof();
}
void TExternalStory::PriorChapter(std::int32_t level) { Show(FViewer.Story().PriorChapter(level)); }
void TExternalStory::NextChapter(std::int32_t level) { Show(FViewer.Story().NextChapter(level)); }

// ---------------------------------------------------------------- THostExternal

TExternalStory& THostExternal::Story() {
  if (!FStory) FStory = std::make_unique<TExternalStory>(FViewer);
  return *FStory;
}

QUrl THostExternal::ShowUserForm(const std::string& formName) {
  if (!FViewer.HasUserForm(formName)) throw EUserFormsError(Format(SFormNotFound, {formName}));
  return FViewer.QueueUserForm(formName);
}

void THostExternal::Terminate() { FViewer.PostCloseRequest(); }

IUserFormWindow& THostExternal::UserForm() {
  if (!FActiveUserForm) throw EUserFormsError(SNoActiveForm);
  return *FActiveUserForm;
}

QJsonObject THostExternal::GetUserFormMember(const QStringList& path) {
  IUserFormWindow& form = UserForm();
  if (path.size() == 1) return Kind("object");
  const QString& m = path[1];
  if (path.size() == 3 && Is(m, "WebBrowser")) return GetBrowserMember(form.WebBrowser(), path[2]);
  if (path.size() == 2) {
    if (Is(m, "WebBrowser")) return Kind("object");
    if (Is(m, "Close")) return Kind("method");
    if (Is(m, "Left")) return Value(form.Left());
    if (Is(m, "Top")) return Value(form.Top());
    if (Is(m, "Width")) return Value(form.Width());
    if (Is(m, "Height")) return Value(form.Height());
    if (Is(m, "Caption")) return Value(form.Caption());
  }
  UnknownName();
}

QJsonObject THostExternal::Set(const QStringList& path, const QJsonValue& value) {
  if (path.size() == 2 && Is(path[0], "UserForm")) {
    IUserFormWindow& form = UserForm();
    const QString& m = path[1];
    const int number = static_cast<int>(value.toDouble());
    if (Is(m, "Left")) form.SetLeft(number);
    else if (Is(m, "Top")) form.SetTop(number);
    else if (Is(m, "Width")) form.SetWidth(number);
    else if (Is(m, "Height")) form.SetHeight(number);
    else if (Is(m, "Caption")) form.SetCaption(value.toVariant().toString());
    else UnknownName();
    return Value(QJsonValue());
  }
  UnknownName();
}

QJsonObject THostExternal::Get(const QStringList& path) {
  if (path.isEmpty()) return Kind("object");
  const QString& m = path[0];
  if (path.size() == 1) {
    if (Is(m, "Story") || Is(m, "WebBrowser")) return Kind("object");
    if (Is(m, "UserForm")) return GetUserFormMember(path);
    if (Is(m, "ShowUserForm") || Is(m, "Terminate")) return Kind("method");
    UnknownName();
  }
  if (path.size() == 2 && Is(m, "WebBrowser")) return GetBrowserMember(FViewer.WebBrowser(), path[1]);
  if (Is(m, "UserForm")) return GetUserFormMember(path);
  if (path.size() == 2 && Is(m, "Story")) {
    const QString& s = path[1];
    if (Is(s, "Current")) return Value(FromBook(Story().Current()));
    if (Is(s, "Bof")) return Value(Story().Bof());
    if (Is(s, "Eof")) return Value(Story().Eof());
    for (const char* method : {"First", "Prior", "Next", "Last", "PriorChapter", "NextChapter"})
      if (Is(s, method)) return Kind("method");
  }
  UnknownName();
}

QJsonObject THostExternal::Call(const QStringList& path, const QJsonArray& args) {
  if (path.size() == 1 && Is(path[0], "ShowUserForm")) {
    const QUrl wait = ShowUserForm(ToBook(args.isEmpty() ? QString() : args[0].toVariant().toString()));
    QJsonObject answer = Value(QJsonValue());
    if (!wait.isEmpty()) answer.insert(QStringLiteral("wait"), wait.toString(QUrl::FullyEncoded));
    return answer;
  }
  if (path.size() == 1 && Is(path[0], "Terminate")) {
    Terminate();
    return Value(QJsonValue());
  }
  if (path.size() == 2 && Is(path[0], "WebBrowser")) return CallBrowserMember(FViewer.WebBrowser(), path[1], args);
  if (!path.isEmpty() && Is(path[0], "UserForm")) {
    IUserFormWindow& form = UserForm();
    if (path.size() == 2 && Is(path[1], "Close")) {
      form.Close();
      return Value(QJsonValue());
    }
    if (path.size() == 3 && Is(path[1], "WebBrowser")) return CallBrowserMember(form.WebBrowser(), path[2], args);
  }
  if (path.size() == 2 && Is(path[0], "Story")) {
    TExternalStory& story = Story();
    const QString& s = path[1];
    if (Is(s, "First")) story.First();
    else if (Is(s, "Prior")) story.Prior();
    else if (Is(s, "Next")) story.Next();
    else if (Is(s, "Last")) story.Last();
    else if (Is(s, "PriorChapter")) story.PriorChapter(IntArg(args, 0));
    else if (Is(s, "NextChapter")) story.NextChapter(IntArg(args, 0));
    else return Get(path);  // a property read written as a call
    return Value(QJsonValue());
  }
  return Get(path);
}

namespace {
const char* const BrowserMethods[] = {"Navigate", "GoBack", "GoForward", "GoHome", "Refresh", "Stop"};
}

QJsonObject THostExternal::GetBrowserMember(TMXWebBrowser* web, const QString& name) {
  for (const char* method : BrowserMethods)
    if (Is(name, method)) return Kind("method");
  if (web) {
    if (Is(name, "LocationURL")) return Value(web->LocationURL().toString());
    if (Is(name, "LocationName")) return Value(web->title());
    if (Is(name, "Busy")) return Value(web->ReadyState() < rsComplete);
    if (Is(name, "ReadyState")) return Value(static_cast<int>(web->ReadyState()));
  }
  UnknownName();
}

QJsonObject THostExternal::CallBrowserMember(TMXWebBrowser* web, const QString& name, const QJsonArray& args) {
  if (!web) UnknownName();
  if (Is(name, "Navigate")) {
    if (args.isEmpty()) throw EOleSysError("Invalid number of parameters.", static_cast<std::int32_t>(0x8002000E));
    web->Navigate(ToBook(args[0].toVariant().toString()));
  } else if (Is(name, "GoBack")) {
    web->GoBack();
  } else if (Is(name, "GoForward")) {
    web->GoForward();
  } else if (Is(name, "GoHome")) {
    web->GoHome();
  } else if (Is(name, "Refresh")) {
    web->ExecCommand(cmdRefresh);
  } else if (Is(name, "Stop")) {
    web->triggerPageAction(QWebEnginePage::Stop);
  } else {
    return GetBrowserMember(web, name);  // a property read written as a call
  }
  return Value(QJsonValue());
}

QString THostExternal::Dispatch(const QString& request) {
  QJsonObject r = QJsonDocument::fromJson(request.toUtf8()).object();
  QStringList path;
  for (const QJsonValue& v : r["path"].toArray()) path << v.toString();
  QJsonObject answer;
  try {
    QString op = r["op"].toString();
    if (op == "hello") answer = Kind("object");
    else if (op == "get") answer = Get(path);
    else if (op == "call") answer = Call(path, r["args"].toArray());
    else if (op == "set") answer = Set(path, r["value"]);
    else UnknownName();
  } catch (const Exception& e) {
    answer = QJsonObject{{"error", FromBook(e.Message())}};
  } catch (const std::exception& e) {
    answer = QJsonObject{{"error", QString::fromUtf8(e.what())}};
  }
  return QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact));
}
