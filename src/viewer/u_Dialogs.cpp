#include "u_Dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

#include "u_BookText.h"
#include "u_Errors.h"

namespace {

QString GTitle = QStringLiteral("Quirelle Viewer");
TMessageHandler GHandler;

void Show(QWidget* parent, const QString& text, QMessageBox::Icon icon, const QString& title) {
  if (GHandler) {
    GHandler(parent, title, text);
    return;
  }
  QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
  box.exec();
}

}  // namespace

QString ApplicationTitle() { return GTitle; }
void SetApplicationTitle(const QString& title) { GTitle = title; }

void ShowErrorMessage(QWidget* parent, const QString& text) { Show(parent, text, QMessageBox::Critical, GTitle); }
void ShowMessage(QWidget* parent, const QString& text, const QString& title) {
  Show(parent, text, QMessageBox::Information, title.isNull() ? GTitle : title);
}

void SetMessageHandler(TMessageHandler handler) { GHandler = std::move(handler); }

namespace {
std::function<bool(const QString&)> GQuestionHandler;
}

bool AskReader(QWidget* parent, const QString& text) {
  if (GQuestionHandler) return GQuestionHandler(text);
  return QMessageBox::question(parent, GTitle, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void SetQuestionHandler(std::function<bool(const QString& text)> handler) { GQuestionHandler = std::move(handler); }

QString DescribedFailure(const QString& message, const Exception& e) {
  QString text = message;
  if (!e.Cause().empty()) {
    QString cause = FromBook(e.Cause());
    cause[0] = cause[0].toUpper();
    text += QStringLiteral("\n\n") + cause + QStringLiteral(".");
  }
  return e.Where().empty() ? text : text + QStringLiteral("\n\nIn ") + FromBook(e.Where()) + QStringLiteral(".");
}

QString AskForBookFile() {
  // Windows-format books and our packed books are programs, named as the author liked.
  const QStringList filters{QStringLiteral("Book documents (*.qbook)"), QStringLiteral("EPUB books (*.epub)"), QStringLiteral("Windows-format books (*.exe)"),
                            QStringLiteral("All books, packed books (*)")};
  return QFileDialog::getOpenFileName(nullptr, QStringLiteral("Open book"), QString(), filters.join(QStringLiteral(";;")));
}
