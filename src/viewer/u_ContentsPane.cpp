#include "u_ContentsPane.h"

#include <QHeaderView>
#include <QTreeWidget>

#include "u_BookText.h"
#include "u_Story.h"

TContentsPane::TContentsPane(QWidget* parent) : QDockWidget(QStringLiteral("Contents"), parent) {
  setObjectName(QStringLiteral("pnlContents"));
  setFeatures(QDockWidget::DockWidgetClosable);
  FtvContents = new QTreeWidget(this);
  FtvContents->setObjectName(QStringLiteral("tvContents"));
  FtvContents->setHeaderHidden(true);
  FtvContents->setAccessibleName(QStringLiteral("Contents"));
  setWidget(FtvContents);
  connect(FtvContents, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
    if (item && OnActivate) OnActivate(item->data(0, Qt::UserRole).toInt());
  });
  hide();
}

void TContentsPane::SetStory(TStory* story) {
  FStory = story;
  FBuilt = false;
  FItems.clear();
  FtvContents->clear();
}

void TContentsPane::SetHeading(const QString& heading) {
  FtvContents->setHeaderHidden(heading.isEmpty());
  FtvContents->setHeaderLabel(heading);
}

void TContentsPane::Toggle() {
  if (isVisible()) {
    hide();
    return;
  }
  if (!FBuilt) Build();
  show();
  FollowStory();
  FtvContents->setFocus();
}

void TContentsPane::Build() {
  FBuilt = true;
  if (!FStory) return;
  const TStoryLine& lines = FStory->Lines();
  FItems.assign(static_cast<std::size_t>(lines.Count()), nullptr);
  for (std::int32_t i = 0; i < lines.Count(); ++i) {
    const std::string name = lines.Name(i);
    const std::int32_t parent = lines.Parent(i);
    auto* item = parent == TStoryLine::None ? new QTreeWidgetItem(FtvContents) : new QTreeWidgetItem(FItems[static_cast<std::size_t>(parent)]);
    item->setText(0, FromBook(name));
    item->setData(0, Qt::UserRole, i);
    FItems[static_cast<std::size_t>(i)] = item;
  }
  FtvContents->expandAll();
}

void TContentsPane::FollowStory() {
  if (!isVisible() || !FStory) return;
  const std::int32_t at = FStory->Position();
  if (at < 0 || at >= static_cast<std::int32_t>(FItems.size())) return;
  const QSignalBlocker quiet(FtvContents);
  FtvContents->setCurrentItem(FItems[static_cast<std::size_t>(at)]);
  FtvContents->scrollToItem(FItems[static_cast<std::size_t>(at)]);
}
