#include "frm_Search.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "frm_Main.h"
#include "u_BookText.h"
#include "u_CodePage.h"
#include "u_Dialogs.h"
#include "u_Errors.h"
#include "u_PageSearch.h"

TfrmSearch::TfrmSearch(TfrmMain& main) : QDialog(&main), FMain(main) {
  setWindowTitle(QStringLiteral("Search"));
  FcbSearchText = new QComboBox(this);
  FcbSearchText->setEditable(true);
  FcbSearchText->setInsertPolicy(QComboBox::NoInsert);  // the history follows our own rule
  FcbSearchText->setAccessibleName(QStringLiteral("Search text"));
  FbtnSearch = new QPushButton(QStringLiteral("Search"), this);
  FbtnSearch->setDefault(true);
  FbtnSearch->setAutoDefault(true);
  FlvFoundPages = new QTreeWidget(this);
  FlvFoundPages->setColumnCount(2);
  FlvFoundPages->setHeaderLabels({QStringLiteral("Page title"), QStringLiteral("FileName")});
  FlvFoundPages->setRootIsDecorated(false);
  FlvFoundPages->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  FlvFoundPages->setColumnHidden(1, true);
  FlvFoundPages->setAccessibleName(QStringLiteral("Found pages"));
  FbtnShowPage = new QPushButton(QStringLiteral("Show"), this);
  FbtnShowPage->setAutoDefault(false);
  FbtnClose = new QPushButton(QStringLiteral("Close"), this);
  FbtnClose->setAutoDefault(false);

  auto* top = new QHBoxLayout;
  top->addWidget(FcbSearchText, 1);
  top->addWidget(FbtnSearch);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(FbtnShowPage);
  bottom->addWidget(FbtnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(FlvFoundPages, 1);
  layout->addLayout(bottom);
  setFixedSize(392, 216);

  connect(FbtnSearch, &QPushButton::clicked, this, &TfrmSearch::btnSearchClick);
  connect(FbtnShowPage, &QPushButton::clicked, this, &TfrmSearch::btnShowPageClick);
  connect(FbtnClose, &QPushButton::clicked, this, &QDialog::reject);
  connect(FlvFoundPages, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { lvFoundPagesDblClick(item); });
}

void TfrmSearch::btnSearchClick() {
  FlvFoundPages->clear();
  const QString text = FcbSearchText->currentText();
  FSearched = text;
  bool known = false;
  for (int i = 0; i < FcbSearchText->count() && !known; ++i)
    known = FcbSearchText->itemText(i).compare(text, Qt::CaseInsensitive) == 0;
  if (!known) {
    FcbSearchText->addItem(text);
    FcbSearchText->setCurrentIndex(FcbSearchText->count() - 1);
  }

  // Any text: one the book's code page cannot hold still occurs in pages written in UTF-8.
  const QIcon picture = style()->standardIcon(QStyle::SP_FileIcon);
  try {
    SearchStory(FMain.Story(), *FMain.ContentImage(), text.toStdString(), [&](const TSearchHit& hit) {
      auto* row = new QTreeWidgetItem(FlvFoundPages, {FromBook(hit.PageName), FromBook(hit.Page)});
      row->setIcon(0, picture);
      row->setData(1, Qt::UserRole, QByteArray::fromStdString(hit.Page));
    });
  } catch (const Exception& e) {
    ShowErrorMessage(this, FromBook(e.Message()));
  }
  if (FlvFoundPages->topLevelItemCount() > 0) FlvFoundPages->setCurrentItem(FlvFoundPages->topLevelItem(0));
}

void TfrmSearch::btnShowPageClick() {
  QTreeWidgetItem* row = FlvFoundPages->currentItem();
  if (!row || !row->isSelected()) return;
  const std::string page = row->data(1, Qt::UserRole).toByteArray().toStdString();
  FMain.ShowFoundPage(page, FSearched);
}

void TfrmSearch::lvFoundPagesDblClick(QTreeWidgetItem* item) {
  if (!item) return;
  FlvFoundPages->setCurrentItem(item);
  btnShowPageClick();
}

void ShowSearchWindow(TfrmMain& main) {
  TfrmSearch window(main);
  window.exec();
  main.activateWindow();  // the keys go back to the main window
}
