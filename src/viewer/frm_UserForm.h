// User forms: pop-up windows a book describes in its forms file and page scripts open by name.
// Each shows one page of the book in its own browser control, with the size, position, border,
// buttons and title the book gives.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <string>

#include "obj_HostExternal.h"
#include "u_UserForms.h"

class TMXWebBrowser;
class QWebEngineProfile;

class TfrmUserForm;

// Configures a new window for the form: size, position, border and buttons, title, scroll bars,
// centring, and its page.
void ApplyUserForm(const TUserForm& form, TfrmUserForm& window);

class TfrmUserForm : public QDialog, public IUserFormWindow {
  Q_OBJECT
public:
  // The form's page loads in the profile given (the default profile when none).
  explicit TfrmUserForm(QWidget* owner = nullptr, QWebEngineProfile* profile = nullptr);

  TMXWebBrowser* webUserForm() const { return FwebUserForm; }
  void SetBorder(TFormBorderStyle style, std::uint8_t icons);
  void CenterOnScreen(bool center) { FCenter = center; }
  // The window's outer size, frame included; applied once the frame is known.
  void SetOuterWidth(int width);
  void SetOuterHeight(int height);

  // IUserFormWindow
  TMXWebBrowser* WebBrowser() override { return FwebUserForm; }
  void Close() override;
  int Left() override;
  int Top() override;
  int Width() override;
  int Height() override;
  QString Caption() override { return windowTitle(); }
  void SetLeft(int value) override;
  void SetTop(int value) override;
  void SetWidth(int value) override { SetOuterWidth(value); }
  void SetHeight(int value) override { SetOuterHeight(value); }
  void SetCaption(const QString& value) override { setWindowTitle(value); }

protected:
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

private:
  void ApplyOuterSize();
  TMXWebBrowser* FwebUserForm;
  bool FCenter = false;
  bool FFixed = false;
  int FOuterWidth = -1;
  int FOuterHeight = -1;
};

// Shows the named form modally with the host object's UserForm standing for it meanwhile.
// Raises "Form "%s" not found" for a name the list does not hold.
// How many forms may be open one inside another: a form whose page opens itself would otherwise
// nest until memory runs out (each depth has a renderer of its own).
inline constexpr int MaxFormDepth = 8;
inline constexpr const char* SFormsTooDeep = "Too many forms are open one inside another (at most %d): the form \"%s\" is not shown";

void ShowUserForm(const TUserForms& forms, THostExternal& host, const std::string& name, QWidget* owner);
// The same without a nested loop: the form opens modal and this returns at once;
// closed calls `closed` once the form has closed (also when its owner closes it).
void OpenUserForm(const TUserForms& forms, THostExternal& host, const std::string& name, QWidget* owner,
                  std::function<void()> closed);
