#include "frm_UserForm.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

#include "c_MXWebBrowser.h"
#include "u_BookText.h"
#include "u_CodePage.h"
#include "u_InternetProtocolEngine.h"

namespace {

// A book may ask for any size; the window never grows beyond the screen.
int Clamped(int value, bool horizontal) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return value;
  const QSize room = screen->availableGeometry().size();
  return std::clamp(value, 1, std::max(1, horizontal ? room.width() : room.height()));
}

}  // namespace

void ApplyUserForm(const TUserForm& form, TfrmUserForm& window) {
  if (form.Width >= 0) window.SetOuterWidth(form.Width);
  if (form.Height >= 0) window.SetOuterHeight(form.Height);
  if (form.Left >= 0) window.SetLeft(form.Left);
  if (form.Top >= 0) window.SetTop(form.Top);
  window.SetBorder(form.BorderStyle, form.BorderIcons);
  window.setWindowTitle(FromBook(form.Caption));
  if (form.HideScrollBar)
    window.webUserForm()->SetUserInterfaceOptions(window.webUserForm()->HostUIFlags() | DOCHOSTUIFLAG_SCROLL_NO);
  window.CenterOnScreen(form.Center);
  if (!form.Path.empty()) window.webUserForm()->Navigate("mfs:" + form.Path);
}

// ---------------------------------------------------------------- the window

TfrmUserForm::TfrmUserForm(QWidget* owner, QWebEngineProfile* profile) : QDialog(owner) {
  setWindowTitle(QStringLiteral("frmUserForm"));
  FwebUserForm = new TMXWebBrowser(this, profile);
  FwebUserForm->SetDownloadOptions(DLCTL_DLIMAGES | DLCTL_VIDEOS | DLCTL_BGSOUNDS);
  FwebUserForm->SetUserInterfaceOptions(0);
  // A page's window.close() ends the form.
  FwebUserForm->OnCloseQuery = [this](TMXWebBrowser&, bool& canClose) {
    canClose = true;
    Close();
  };
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(FwebUserForm);
  resize(688, 453);
  move(272, 221);
}

void TfrmUserForm::SetBorder(TFormBorderStyle style, std::uint8_t icons) {
  Qt::WindowFlags flags = Qt::Dialog;
  if (style == bsNone) {
    flags |= Qt::FramelessWindowHint;
  } else {
    // Only the buttons the book asks for: no close button without the system menu.
    flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (icons & biSystemMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (icons & biMinimize) flags |= Qt::WindowMinimizeButtonHint;
    if (icons & biMaximize) flags |= Qt::WindowMaximizeButtonHint;
  }
  setWindowFlags(flags);
  FFixed = style != bsSizeable;
  setSizeGripEnabled(style == bsSizeable);
}

void TfrmUserForm::SetOuterWidth(int width) {
  FOuterWidth = Clamped(width, true);
  if (isVisible()) ApplyOuterSize();
  else resize(FOuterWidth, height());
}

void TfrmUserForm::SetOuterHeight(int height) {
  FOuterHeight = Clamped(height, false);
  if (isVisible()) ApplyOuterSize();
  else resize(width(), FOuterHeight);
}

// Width and height are the outer size; the frame is known once the window manager framed the
// window, so the client area gives way then.
void TfrmUserForm::ApplyOuterSize() {
  const QSize frame = frameGeometry().size() - size();
  QSize client = size();
  if (FOuterWidth >= 0) client.setWidth(std::max(1, FOuterWidth - frame.width()));
  if (FOuterHeight >= 0) client.setHeight(std::max(1, FOuterHeight - frame.height()));
  if (FFixed) setFixedSize(client);
  else resize(client);
}

void TfrmUserForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  ApplyOuterSize();
  if (FCenter) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect room = screen->availableGeometry();
      move(room.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
    }
  }
}

void TfrmUserForm::moveEvent(QMoveEvent* event) {
  QDialog::moveEvent(event);
  if (isVisible() && frameGeometry().size() != size()) ApplyOuterSize();
}

void TfrmUserForm::keyPressEvent(QKeyEvent* event) {
  // The form has no cancel button: Escape belongs to its page, not to the window.
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TfrmUserForm::Close() { done(QDialog::Rejected); }
int TfrmUserForm::Left() { return frameGeometry().left(); }
int TfrmUserForm::Top() { return frameGeometry().top(); }
int TfrmUserForm::Width() { return frameGeometry().width(); }
int TfrmUserForm::Height() { return frameGeometry().height(); }
void TfrmUserForm::SetLeft(int value) { move(value, frameGeometry().top()); }
void TfrmUserForm::SetTop(int value) { move(frameGeometry().left(), value); }

// ---------------------------------------------------------------- showing

namespace {

// Forms open at the moment: a form shown from a form is one deeper, with a profile of its own.
int GOpenForms = 0;

void CheckDepth(const std::string& name) {
  if (GOpenForms >= MaxFormDepth) throw EUserFormsError(Format(SFormsTooDeep, {std::int64_t{MaxFormDepth}, name}));
}

QWebEngineProfile* FormProfile() {
  TEngineURLLayer* layer = TEngineURLLayer::Instance();
  return layer ? layer->ProfileAtDepth(GOpenForms + 1) : nullptr;
}

void Prepare(TfrmUserForm& window, const TUserForm& form, THostExternal& host) {
  window.webUserForm()->OnGetExternal = [&host](TMXWebBrowser::TExternalCall& external) {
    external = [&host](const QString& request) { return host.Dispatch(request); };
    return HOST_S_OK;
  };
  ApplyUserForm(form, window);
}

}  // namespace

void ShowUserForm(const TUserForms& forms, THostExternal& host, const std::string& name, QWidget* owner) {
  const TUserForm* form = forms.FindForm(name);
  if (!form) throw EUserFormsError(Format(SFormNotFound, {name}));
  CheckDepth(name);
  TfrmUserForm window(owner, FormProfile());
  IUserFormWindow* outer = host.ActiveUserForm();
  // A form shown from another form gives the outer one back its UserForm when it closes.
  struct TRestore {
    THostExternal& Host;
    IUserFormWindow* Outer;
    ~TRestore() {
      Host.SetActiveUserForm(Outer);
      --GOpenForms;
    }
  } restore{host, outer};
  ++GOpenForms;
  Prepare(window, *form, host);
  host.SetActiveUserForm(&window);
  window.exec();
  // The keys go back to the window the form came from, also where no window manager does it.
  if (owner) owner->activateWindow();
}

void OpenUserForm(const TUserForms& forms, THostExternal& host, const std::string& name, QWidget* owner,
                  std::function<void()> closed) {
  const TUserForm* form = forms.FindForm(name);
  if (!form) throw EUserFormsError(Format(SFormNotFound, {name}));
  CheckDepth(name);
  QPointer<TfrmUserForm> window = new TfrmUserForm(owner, FormProfile());
  window->setAttribute(Qt::WA_DeleteOnClose);
  IUserFormWindow* outer = host.ActiveUserForm();
  ++GOpenForms;
  QObject::connect(window, &QDialog::finished, window, [window, &host, outer, owner = QPointer<QWidget>(owner), closed] {
    --GOpenForms;
    if (host.ActiveUserForm() == window.data()) host.SetActiveUserForm(outer);
    if (closed) closed();
    if (owner) owner->activateWindow();
  });
  try {
    Prepare(*window, *form, host);
  } catch (...) {
    --GOpenForms;
    QObject::disconnect(window, &QDialog::finished, nullptr, nullptr);
    delete window.data();
    throw;
  }
  host.SetActiveUserForm(window);
  // Modal to every other window, as a form shown with its own loop is, but without the loop.
  window->setWindowModality(Qt::ApplicationModal);
  window->show();
}
