#include "u_Book.h"

#include <limits>
#include <map>
#include <set>

#include "u_BookCheck.h"
#include "u_CodePage.h"
#include "u_DataBlocks.h"
#include "u_DiskFolder.h"
#include "u_ImageSource.h"

namespace {

// Runs f; a failure says which part of the book it was reading.
template <class F>
auto In(const std::string& where, F&& f) {
  try {
    return f();
  } catch (Exception& e) {
    // A file that is no book is not a place in the book.
    if (!where.empty() && !dynamic_cast<EBookFileError*>(&e)) e.AddWhere(where);
    throw;
  }
}

std::string TextOf(const TXMLAttributes& a, const char* name, const char* def = "") {
  return a.ValueOf(name, TXMLValue::Text(def)).AsText();
}

}  // namespace

TPictureKind PictureKindOf(const std::string& path) {
  std::string extension;
  const std::size_t dot = path.rfind('.');
  if (dot != std::string::npos && path.find('\\', dot) == std::string::npos) extension = path.substr(dot + 1);
  if (SameText(extension, "wmf") || SameText(extension, "emf")) return pkMetafile;
  if (SameText(extension, "ico")) return pkIcon;
  if (SameText(extension, "bmp")) return pkBitmap;
  if (SameText(extension, "jpg") || SameText(extension, "jpeg")) return pkJPEG;
  throw EPictureError(Format(SUnknownPictureExtension, {extension}));
}

std::string CodePageRecord(int codePage, TMFS& systemImage) {
  return "<Quirelle CodePage=" + std::to_string(codePage) + (RecordsEpubOrigin(systemImage) ? " Origin=\"epub\"" : "") + "/>\r\n";
}

bool RecordsEpubOrigin(TMFS& systemImage) {
  try {
    TMFSSession& session = *systemImage.Session();
    if (!session.Exists(CodePageRecordFile)) return false;
    TXMLParser record;
    record.Parse(session.GetFile(CodePageRecordFile)->Data);
    return SameText(TextOf(record.Root()->Attributes, "Origin"), "epub");
  } catch (const Exception&) {
    return false;
  }
}

int RecordedCodePage(TMFS& systemImage) {
  try {
    TMFSSession& session = *systemImage.Session();
    if (!session.Exists(CodePageRecordFile)) return 0;
    TXMLParser record;
    record.Parse(session.GetFile(CodePageRecordFile)->Data);
    const std::int32_t codePage = record.Root()->Attributes.ValueOf("CodePage", TXMLValue::Integer(0)).AsInteger();
    return CodePageAvailable(codePage) ? codePage : 0;
  } catch (const Exception&) {
    return 0;  // a damaged record is no record
  }
}

namespace {

void ReadSystemImage(TMFS& image, const TBookSource& source) {
  if (source.SystemCab) LoadCabImage(image, *source.SystemCab);
  else LoadSystemImage(image, source.BookFile);
}

}  // namespace

void ApplyCodePageRecord(TBookSource& source) {
  if (!source.SystemImage) {
    auto image = std::make_shared<TMFS>();
    try {
      ReadSystemImage(*image, source);
    } catch (const Exception&) {
      return;
    }
    source.SystemImage = std::move(image);
  }
  const int codePage = RecordedCodePage(*source.SystemImage);
  if (codePage == 0 || codePage == BookCodePage()) return;
  SetBookCodePage(codePage);
  auto again = std::make_shared<TMFS>();
  try {
    ReadSystemImage(*again, source);
    source.SystemImage = std::move(again);
  } catch (const Exception&) {
    source.SystemImage.reset();
  }
}

TBookSource FolderBookSource(const std::filesystem::path& system, const std::filesystem::path& content) {
  for (const auto& [folder, role] : {std::pair{system, "system"}, std::pair{content, "content"}})
    if (!std::filesystem::is_directory(folder)) throw EToolError("The " + std::string(role) + " folder \"" + folder.string() + "\" does not exist");
  TBookSource source;
  source.SystemImage = std::make_shared<TMFS>();
  ImportFolder(system, source.SystemImage->Root());
  source.SystemImage->Session()->CreateFile(CodePageRecordFile, 0, true)->Data = CodePageRecord(BookCodePage(), *source.SystemImage);
  auto load = std::make_shared<TContentImageLoad>();
  ImportFolder(content, load->Image->Root());
  load->Finished();
  source.ContentLoad = std::move(load);
  return source;
}

namespace {

// The story file System.xml names ("" for the default), for those that read the story before the
// book's steps do; a System.xml that does not parse raises.
std::string NamedStoryFile(TMFS& systemImage) {
  TXMLParser system;
  system.Parse(systemImage.Session()->GetFile("\\System.xml")->Data);
  return TextOf(system.Root()->Attributes, "Story");
}

}  // namespace

void PrepareStory(TBookSource& source) {
  if (!source.SystemImage) return;
  try {
    std::string name = NamedStoryFile(*source.SystemImage);
    // The text is copied here: the image is read on this thread only.
    std::string text = source.SystemImage->Session()->GetFile(StoryFile(name))->Data;
    source.PreparedStory = std::async(std::launch::async, [text = std::move(text)] { return std::make_unique<TStory>(text); });
    source.PreparedStoryFile = std::move(name);
  } catch (const std::exception&) {
    // Left to the steps, which say what is wrong.
  }
}

TMFSSaveOrder ContentOrder(TMFS& systemImage, TMFS& contentImage) {
  std::vector<std::string> first;
  try {
    TStory story(systemImage, NamedStoryFile(systemImage));
    std::set<std::string, TKeyLess> seen;
    for (bool more = !story.Eof(); more; more = story.Next() == STORY_S_OK && !story.Eof()) {
      std::string page = TMFS::ConvertSlashes(story.CurrentPage());
      if (!page.empty() && page.front() != '\\') page.insert(0, 1, '\\');
      // A page listed twice sends the walk back to its first place: the order is complete.
      if (page.empty() || !seen.insert(page).second) break;
      first.push_back(page);
      if (first.size() > 1) continue;
      // What the first page loads comes right after it.
      // (Not for a page nested too deep to parse in reasonable time, as the check says.)
      if (const TMFSFile* file = FindBookFile(contentImage, page); file && PageNesting(file->Data) <= MaxCheckedNesting)
        for (const TLinkRef& link : PageLinks(file->Data))
          if (const TResolvedLink to = ResolveBookLink("mfs", page, link.Target); to.Kind == TResolvedLink::Book && to.Scheme == "mfs")
            first.push_back(to.Path);
    }
  } catch (const Exception&) {
    return {};  // a book the check will refuse: name order will do
  }
  if (first.empty()) return {};
  auto ranks = std::make_shared<std::map<std::string, std::size_t, TKeyLess>>();
  for (const std::string& path : first) {
    const std::size_t rank = ranks->size();
    if (!ranks->emplace(path, rank).second) continue;
    for (std::string folder = TMFS::ExtractFilePath(path); folder.size() > 1; folder = TMFS::ExtractFilePath(folder.substr(0, folder.size() - 1)))
      ranks->emplace(folder.substr(0, folder.size() - 1), rank);
  }
  return [ranks](const std::string& path) {
    const auto found = ranks->find(path);
    return found == ranks->end() ? std::numeric_limits<std::size_t>::max() : found->second;
  };
}

TBook::TBook(TBookSource source, IBookPictures* pictures, IBookSink* sink)
    : FSource(std::move(source)), FPictures(pictures), FSink(sink ? sink : &RaisingBookSink()) {}

TBook::~TBook() { WaitForContentImage(); }

bool TBook::Step(const std::string& file, const std::string& where, const std::function<void()>& step,
                 const std::function<std::int32_t(const Exception&)>& lineOf) {
  try {
    In(where, step);
    return true;
  } catch (const Exception& e) {
    FSink->Failure(file, lineOf ? lineOf(e) : 0, e);
    return false;
  }
}

template <class T, class F>
T TBook::SystemValue(const char* name, T def, F&& read) const {
  try {
    return In(std::string("System.xml, key ") + name, read);
  } catch (const Exception& e) {
    const TXMLAttribute* a = SystemRoot().Attributes.Find(name);
    FSink->Failure("System.xml", a ? a->Line : 0, e);
    return def;
  }
}

std::string TBook::SystemText(const char* name) const {
  return SystemValue(name, std::string(), [&] { return TextOf(SystemRoot().Attributes, name); });
}
std::int32_t TBook::SystemInteger(const char* name, std::int32_t def) const {
  return SystemValue(name, def, [&] { return SystemRoot().Attributes.ValueOf(name, TXMLValue::Integer(def)).AsInteger(); });
}
bool TBook::SystemBoolean(const char* name, bool def) const {
  return SystemValue(name, def, [&] { return SystemRoot().Attributes.ValueOf(name, TXMLValue::Boolean(def)).AsBoolean(); });
}

std::optional<std::string> TBook::SystemFileText(const std::string& name) {
  if (name.empty() || !FSystemImage->Session()->Exists(name) || TMFS::ExtractFileName(TMFS::ConvertSlashes(name)).empty())
    return std::nullopt;
  try {
    return FSystemImage->Session()->GetFile(name)->Data;
  } catch (const EMFSError&) {
    return std::nullopt;  // a folder of that name
  }
}

// ---------------------------------------------------------------- the images

void TBook::LoadSystemImage() {
  // The names of both images compare in the code page the book records.
  if (!FSource.ContentLoad) ApplyCodePageRecord(FSource);
  // Unpacked on a worker while the rest starts up; nothing here touches it until it is joined.
  std::shared_ptr<TContentImageLoad> load =
      FSource.ContentLoad ? std::move(FSource.ContentLoad) : StartContentImageLoad(std::move(FSource.ContentCab), FSource.BookFile);
  FContentImage = std::move(load->Image);
  FContentLoad = std::move(load);
  FSystemImage = std::move(FSource.SystemImage);
  if (FSystemImage) {
    FSystemImage->Session()->ChangeFolder("\\");
    return;
  }
  FSystemImage = std::make_shared<TMFS>();
  In("the book's system image (SYSTEM_MFS)", [&] {
    try {
      if (FSource.SystemCab) LoadCabImage(*FSystemImage, std::move(*FSource.SystemCab));
      else ::LoadSystemImage(*FSystemImage, FSource.BookFile);
    } catch (Exception& e) {
      if (!FSource.BookFile.empty()) AddBlockCause(e, FSource.BookFile, "SYSTEM_MFS");
      throw;
    }
  });
  FSystemImage->Session()->ChangeFolder("\\");
}

TBook::TContentRequest TBook::ContentRequest(const std::string& path, const std::function<void()>& onProgress) {
  // Asked by the worker's own flag, not the future's: the worker says its last word just before
  // the future is ready, and a caller resumed in between must not wait again.
  if (ContentJoined() || FContentLoad->IsFinished()) return TContentRequest::Join;
  if (!path.empty() && FContentLoad->HasEarlyFile(path)) return TContentRequest::Early;
  FContentLoad->WhenProgress(onProgress);
  return TContentRequest::Wait;
}

bool TBook::CopyEarlyContent(const std::string& path, std::string& data) {
  return !ContentJoined() && FContentLoad->CopyEarlyFile(path, data);
}

void TBook::WhenContentFinished(std::function<void()> f) {
  if (ContentJoined()) f();
  else FContentLoad->WhenFinished(std::move(f));
}

bool TBook::ContentJoined() const { return !FContentLoad || !FContentLoad->Done.valid(); }

void TBook::HurryContentImage() {
  if (!ContentJoined()) FContentLoad->Hurry();
}

void TBook::JoinContentImage() {
  HurryContentImage();
  if (!ContentJoined()) In("the book's content image (FILES_MFS)", [&] { FContentLoad->Done.get(); });
}

void TBook::WaitForContentImage() {
  HurryContentImage();
  if (!ContentJoined()) FContentLoad->Done.wait();
}

// ---------------------------------------------------------------- System.xml and its files

void TBook::LoadSystemDescription() {
  FLoaded.FromEpub = RecordsEpubOrigin(*FSystemImage);
  FSystemDescription = std::make_unique<TXMLParser>();
  // For the check, a System.xml that does not parse is reported and the rest of the book is
  // still looked at, as far as it can be without the names it would give.
  if (!Step("System.xml", "System.xml", [&] { FSystemDescription->Parse(FSystemImage->Session()->GetFile("System.xml")->Data); })) {
    FSystemDescriptionFailed = true;
    FSystemDescription = std::make_unique<TXMLParser>();
    FSystemDescription->Parse("<System/>");
  }
}

void TBook::LoadForms() {
  FLoaded.FormsFile = SystemText("Forms");
  const std::optional<std::string> text = SystemFileText(FLoaded.FormsFile);
  if (!Step(FLoaded.FormsFile, FLoaded.FormsFile, [&] {
        if (text) {
          const std::string folder = TMFS::ExtractFilePath(TMFS::ConvertSlashes(FLoaded.FormsFile));
          if (!folder.empty()) FSystemImage->Session()->ChangeFolder(folder);
          FUserForms = std::make_unique<TUserForms>(FSystemImage->Session(), &*text);
        } else {
          FUserForms = std::make_unique<TUserForms>(nullptr, nullptr);
        }
      }))
    FUserForms = std::make_unique<TUserForms>(nullptr, nullptr);
  FSystemImage->Session()->ChangeFolder("\\");
}

void TBook::LoadStory() {
  const std::string name = SystemText("Story");
  FLoaded.StoryFile = StoryFile(name);
  if (FSystemDescriptionFailed) return;
  if (FSource.PreparedStory.valid() && FSource.PreparedStoryFile == name) {
    try {
      FStory = FSource.PreparedStory.get();
      return;
    } catch (const std::exception&) {
      // Read again below, where the failure is said.
    }
  }
  Step(FLoaded.StoryFile, FLoaded.StoryFile, [&] { FStory = std::make_unique<TStory>(*FSystemImage, name); });
}

void TBook::LoadVariables() {
  FLoaded.VariablesFile = SystemText("Variables");
  const std::optional<std::string> text = SystemFileText(FLoaded.VariablesFile);
  // A cycle or a value beyond the limits names its variable: the report gives its line.
  auto line = [&](const Exception& e) { return VariableLine(text.value_or(std::string()), e.Message()); };
  if (!Step(FLoaded.VariablesFile, FLoaded.VariablesFile, [&] { FVariables = std::make_unique<TVariables>(text, true); }, line)) {
    FVariablesFailed = true;  // the check then leaves references alone: the file itself is at fault
    FVariables = std::make_unique<TVariables>(std::nullopt, true);
  }
}

void TBook::LoadTitles() {
  Step("System.xml", "", [&] {
    if (std::string title = SystemText("ApplicationTitle"); !title.empty()) FLoaded.ApplicationTitle = FVariables->Substitute(title);
    if (std::string caption = SystemText("MainFormCaption"); !caption.empty()) FLoaded.MainFormCaption = FVariables->Substitute(caption);
  });
}

void TBook::LoadToolbarOptions() {
  In("System.xml, element toolbar", [&] { FLoaded.ToolbarOptions.Load(SystemRoot().Nodes.FindNode("toolbar"), *FSink); });
}

void TBook::LoadLogo() {
  if (!FPictures || !FLoaded.ToolbarOptions.LogoDisplay) return;
  Step("\\Logo.bmp", "", [&] {
    if (!FSystemImage->Session()->Exists("\\Logo.bmp")) return FPictures->Logo(nullptr);
    In("\\Logo.bmp", [&] { FPictures->Logo(&FSystemImage->Session()->GetFile("\\Logo.bmp")->Data); });
  });
}

void TBook::LoadSplashOptions() {
  In("System.xml, element splash", [&] { FLoaded.SplashOptions.Load(SystemRoot().Nodes.FindNode("splash"), *FSink); });
}

void TBook::LoadWindowKeys() {
  FLoaded.Width = SystemInteger("Width", 800);
  FLoaded.Height = SystemInteger("Height", 600);
  FLoaded.RunMaximized = SystemBoolean("RunMaximized", false);
  FLoaded.ResizableWindow = SystemBoolean("ResizableWindow", false);
}

void TBook::Load() {
  LoadSystemImage();
  LoadSystemDescription();
  LoadForms();
  LoadStory();
  LoadVariables();
  LoadTitles();
  LoadToolbarOptions();
  LoadLogo();
  LoadSplashOptions();
  LoadToolButtons();
  LoadWindowKeys();
}

// ---------------------------------------------------------------- the toolbar file

void TBook::LoadToolButtons() {
  FLoaded.ToolButtonsFile = SystemText("ToolButtons");
  FSystemImage->Session()->ChangeFolder("\\");
  std::optional<std::string> text = SystemFileText(FLoaded.ToolButtonsFile);
  Step(FLoaded.ToolButtonsFile, FLoaded.ToolButtonsFile, [&] {
    if (!text) return;
    TXMLParser description;
    description.Parse(*text);
    FLoaded.Toolbar.Present = true;
    // Pictures are named from the file's own folder, and the image is left there.
    const std::string folder = TMFS::ExtractFilePath(TMFS::ConvertSlashes(FLoaded.ToolButtonsFile));
    if (!folder.empty()) FSystemImage->Session()->ChangeFolder(folder);
    ReadPictures(description.Root()->Nodes.FindNode("Images"));
    ReadButtons(description.Root()->Nodes.FindNode("Buttons"));
  });
}

void TBook::ReadPictures(const TXMLNode* images) {
  if (!images) return;
  for (std::int32_t i = 0; i < images->Nodes.Count(); ++i) {
    const TXMLNode& element = images->Nodes.Items(i);
    TToolbarPicture picture;
    picture.Name = TextOf(element.Attributes, "Name");
    picture.Path = TextOf(element.Attributes, "Path");
    picture.Line = element.Line;
    if (!picture.Name.empty()) FImageIndexByName.Set_Item(picture.Name, i);
    FLoaded.Toolbar.Pictures.push_back(std::move(picture));
  }
  if (FPictures) FPictures->BeginToolbarPictures(FLoaded.Toolbar.Pictures);
  for (std::size_t i = 0; i < FLoaded.Toolbar.Pictures.size(); ++i) {
    TToolbarPicture& picture = FLoaded.Toolbar.Pictures[i];
    const TXMLAttributes& a = images->Nodes.Items(static_cast<std::int32_t>(i)).Attributes;
    bool unknownKind = false;
    try {
      try {
        PictureKindOf(picture.Path);  // an unknown extension is reported before the file is looked for
      } catch (const Exception&) {
        unknownKind = true;
        throw;
      }
      const std::string& bytes = FSystemImage->Session()->GetFile(picture.Path)->Data;
      picture.XMask = a.ValueOf("XMask", TXMLValue::Integer(0)).AsInteger();
      picture.YMask = a.ValueOf("YMask", TXMLValue::Integer(0)).AsInteger();
      if (a.Find("MaskColor")) picture.MaskColor = a.ValueOf("MaskColor", TXMLValue::Integer(-1)).AsInteger();
      if (FPictures) FPictures->AddToolbarPicture(picture, bytes, FLoaded.ToolbarOptions.ToolbarImgW, FLoaded.ToolbarOptions.ToolbarImgH);
    } catch (Exception& e) {
      const TToolbarOptions& options = FLoaded.ToolbarOptions;
      std::string told = e.Message();
      if (const auto* size = dynamic_cast<const EInvalidOperation*>(&e))
        told = std::string(SInvalidToolbarImageSize) + ": it is " + std::to_string(size->FoundWidth) + " x " +
               std::to_string(size->FoundHeight) + ", the toolbar's pictures are " + std::to_string(options.ToolbarImgW) + " x " +
               std::to_string(options.ToolbarImgH) + " (ToolbarImgW, ToolbarImgH)";
      if (!e.Cause().empty()) told += "; " + e.Cause();
      // Authors reach for PNG, GIF or SVG first: the check names the kinds there are.
      if (unknownKind) told += "; the toolbar takes BMP, ICO, JPEG, WMF and EMF pictures";
      e.AddWhere("picture " + picture.Path);
      FSink->Failure(FLoaded.ToolButtonsFile, picture.Line, e, "The picture \"" + picture.Path + "\": " + told);
      if (FPictures) FPictures->AddNoPicture();
    }
  }
}

void TBook::ReadButtons(const TXMLNode* buttons) {
  if (!buttons) return;
  const auto n = static_cast<std::size_t>(buttons->Nodes.Count());
  FLoaded.Toolbar.Buttons.assign(n, TToolButton());
  bool bookmarksAfter = false;
  // Last button first, as the toolbar is filled: what a damaged button stops is the same.
  for (std::size_t i = n; i-- > 0;) {
    const TXMLNode& element = buttons->Nodes.Items(static_cast<std::int32_t>(i));
    const TXMLAttributes& a = element.Attributes;
    TToolButton& button = FLoaded.Toolbar.Buttons[i];
    button.Line = element.Line;
    const std::int32_t kind = a.ValueOf("Kind", TXMLValue::Integer(0)).AsInteger();
    button.Kind = static_cast<std::uint8_t>(kind);
    if (kind < 0 || kind > LastButtonKind)
      FSink->Note(FLoaded.ToolButtonsFile, element.Line, "The button Kind " + std::to_string(kind) +
                                                      " is none the viewer knows (0 to 17): the button does nothing");
    TextOf(a, "Name");
    button.Caption = TextOf(a, "Caption");
    button.OnClick = TextOf(a, "OnClick");
    if (button.Kind == bkSeparator) continue;
    const auto pictures = static_cast<std::int32_t>(FLoaded.Toolbar.Pictures.size());
    button.ImageIndex = a.ValueOf("ImageIndex", TXMLValue::Integer(-1)).AsInteger();
    if (a.Find("Image")) {
      const std::string name = TextOf(a, "Image");
      button.ImageIndex = static_cast<std::int32_t>(FImageIndexByName.GetItemDef(name, -1));
      if (button.ImageIndex < 0)
        FSink->Note(FLoaded.ToolButtonsFile, element.Line, "No picture is named \"" + name + "\": the button shows none");
    } else if (button.ImageIndex < -1 || button.ImageIndex >= pictures) {
      FSink->Note(FLoaded.ToolButtonsFile, element.Line, "ImageIndex " + std::to_string(button.ImageIndex) + " is beyond the " +
                                                      std::to_string(pictures) + " pictures: the button shows none");
    }
    if (button.Kind != bkBookmarks) continue;
    if (bookmarksAfter)
      FSink->Note(FLoaded.ToolButtonsFile, element.Line, "More than one Bookmarks button: each shows only its own bookmarks");
    bookmarksAfter = true;
    button.Bookmarks = ReadBookmarks(element);
  }
}

TBookMarkItems TBook::ReadBookmarks(const TXMLNode& button) {
  TBookMarkItems items;
  try {
    for (std::int32_t j = 0; j < button.Nodes.Count(); ++j) {
      const TXMLNode& element = button.Nodes.Items(j);
      TBookMarkItem item;
      item.Caption = TextOf(element.Attributes, "caption", "Description");
      item.URL = TextOf(element.Attributes, "url", "URL");
      if (item.URL.find(':') == std::string::npos)
        FSink->Note(FLoaded.ToolButtonsFile, element.Line, "The bookmark address \"" + item.URL +
                                                        "\" has no scheme (such as mfs: or https:): it shows a blank page");
      item.NewWindow = element.Attributes.ValueOf("NewWindow", TXMLValue::Boolean(false)).AsBoolean();
      items.push_back(std::move(item));
    }
  } catch (const Exception&) {
    // A damaged bookmark ends the list; the ones before it stay.
  }
  return items;
}
