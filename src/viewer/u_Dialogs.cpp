#include "u_Dialogs.h"

#include <QMessageBox>

namespace {

QString GTitle = QStringLiteral("Quirelle Viewer");
TMessageHandler GHandler;

}  // namespace

QString ApplicationTitle() { return GTitle; }
void SetApplicationTitle(const QString& title) { GTitle = title; }

void ShowErrorMessage(QWidget* parent, const QString& text) {
  if (GHandler) {
    GHandler(parent, GTitle, text);
    return;
  }
  QMessageBox::critical(parent, GTitle, text, QMessageBox::Ok);
}

void SetMessageHandler(TMessageHandler handler) { GHandler = std::move(handler); }
