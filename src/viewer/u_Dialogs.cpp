#include "u_Dialogs.h"

#include <QMessageBox>

namespace {

QString GTitle = QStringLiteral("Quirelle Viewer");
TMessageHandler GHandler;

void Show(QWidget* parent, const QString& text, QMessageBox::Icon icon) {
  if (GHandler) {
    GHandler(parent, GTitle, text);
    return;
  }
  QMessageBox box(icon, GTitle, text, QMessageBox::Ok, parent);
  box.exec();
}

}  // namespace

QString ApplicationTitle() { return GTitle; }
void SetApplicationTitle(const QString& title) { GTitle = title; }

void ShowErrorMessage(QWidget* parent, const QString& text) { Show(parent, text, QMessageBox::Critical); }
void ShowMessage(QWidget* parent, const QString& text) { Show(parent, text, QMessageBox::Information); }

void SetMessageHandler(TMessageHandler handler) { GHandler = std::move(handler); }
