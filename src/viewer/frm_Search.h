// The search window: the reader types a text, gets the story's pages that contain it and shows
// one of them in the main window. Created anew for every opening.
#pragma once

#include <QDialog>

class QComboBox;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class TfrmMain;

class TfrmSearch : public QDialog {
  Q_OBJECT
public:
  explicit TfrmSearch(TfrmMain& main);

  QComboBox* cbSearchText() const { return FcbSearchText; }
  QPushButton* btnSearch() const { return FbtnSearch; }
  QTreeWidget* lvFoundPages() const { return FlvFoundPages; }
  QPushButton* btnShowPage() const { return FbtnShowPage; }
  QPushButton* btnClose() const { return FbtnClose; }

  void btnSearchClick();
  void btnShowPageClick();
  void lvFoundPagesDblClick(QTreeWidgetItem* item);

private:
  TfrmMain& FMain;
  QString FSearched;  // the text of the last search, highlighted on the page shown
  QComboBox* FcbSearchText;
  QPushButton* FbtnSearch;
  QTreeWidget* FlvFoundPages;
  QPushButton* FbtnShowPage;
  QPushButton* FbtnClose;
};

// Shows the search window modally over the main window and frees it afterwards.
void ShowSearchWindow(TfrmMain& main);
