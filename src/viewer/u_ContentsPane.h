// The reader's contents pane: the story as a tree of chapters and pages beside the page, the
// current page selected. Shown and hidden with F9; hidden at start, and built when first shown.
#pragma once

#include <QDockWidget>
#include <cstdint>
#include <functional>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;
class TStory;

class TContentsPane : public QDockWidget {
  Q_OBJECT
public:
  explicit TContentsPane(QWidget* parent);

  QTreeWidget* tvContents() const { return FtvContents; }
  // The story the tree shows; built again when next shown.
  void SetStory(TStory* story);
  // A line above the tree (the book's title and creators); none when empty.
  void SetHeading(const QString& heading);
  // Shows or hides the pane; shown, its tree has the keyboard.
  void Toggle();
  // Selects the story's current entry.
  void FollowStory();
  // Called with the entry's place in the story when the reader activates it.
  std::function<void(std::int32_t position)> OnActivate;

private:
  void Build();
  QTreeWidget* FtvContents;
  TStory* FStory = nullptr;
  bool FBuilt = false;
  std::vector<QTreeWidgetItem*> FItems;  // by place in the story
};
