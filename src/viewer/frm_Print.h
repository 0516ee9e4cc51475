// Printing: the page's print sections (div elements whose id ends in "PAGE") listed in the Print
// button's menu, and the print window that shows one section with Print and Preview.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>

class QMenu;
class QObject;
class QToolBar;
class QToolButton;
class TMXWebBrowser;

class TfrmPrint : public QDialog {
  Q_OBJECT
public:
  explicit TfrmPrint(QWidget* parent = nullptr);

  QToolBar* tbrPrint() const { return FtbrPrint; }
  QToolButton* tbtnPrint() const { return FtbtnPrint; }
  QToolButton* tbtnPreview() const { return FtbtnPreview; }
  TMXWebBrowser* webPrint() const { return FwebPrint; }

  void tbtnPrintClick();
  void tbtnPreviewClick();

private:
  void Exec(int command);

  QToolBar* FtbrPrint;
  QToolButton* FtbtnPrint;
  QToolButton* FtbtnPreview;
  TMXWebBrowser* FwebPrint;
};

// The document the print window shows for a section: its inner HTML in a page whose base is
// where the section came from (the content image's root for the book's pages), so the section's
// pictures still load.
QByteArray SectionDocument(const QString& innerHTML, const QString& base = QStringLiteral("mfs:\\"));

// Rebuilds popPrint from the browser's document, one item per print section in document order
// (caption and tool tip the id); done runs once the menu is filled. Items trigger
// PrintSectionClick.
void FillPrintMenu(TMXWebBrowser& browser, QMenu& popPrint, const std::function<void()>& done);

// Finds the clicked item's section in the browser's document again and shows it in the print
// window, or says "Can not find page" when it is gone.
void PrintSectionClick(TMXWebBrowser& browser, QObject* sender);

// Shows the HTML in a new print window, modally, and frees the window afterwards. Content that
// did not come from the book runs no scripts there: the print window serves it from the book's
// own address.
void ShowPrintWindow(QWidget* owner, const QByteArray& html, bool fromBook = true);
