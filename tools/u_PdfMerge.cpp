#include "u_PdfMerge.h"

// The library's own pointers are std::shared_ptr from here on.
#define POINTERHOLDER_TRANSITION 4
#include <qpdf/JSON.hh>
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <fstream>
#include <memory>

#include "u_DiskFolder.h"

namespace {

struct TOutlineNode {
  std::string Title;
  int Page = 0;  // index into the merged pages
  std::vector<TOutlineNode> Children;
};

// The items of one level, linked to each other and to their parent; the number of items below.
int Link(QPDF& pdf, std::vector<TOutlineNode>& nodes, QPDFObjectHandle parent, const std::vector<QPDFPageObjectHelper>& pages) {
  std::vector<QPDFObjectHandle> items;
  int count = 0;
  for (TOutlineNode& node : nodes) {
    QPDFObjectHandle item = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
    item.replaceKey("/Title", QPDFObjectHandle::newUnicodeString(node.Title));
    item.replaceKey("/Parent", parent);
    item.replaceKey("/Dest", QPDFObjectHandle::newArray({pages[static_cast<std::size_t>(node.Page)].getObjectHandle(), QPDFObjectHandle::newName("/Fit")}));
    if (!node.Children.empty()) {
      const int below = Link(pdf, node.Children, item, pages);
      item.replaceKey("/Count", QPDFObjectHandle::newInteger(below));  // open
      count += below;
    }
    items.push_back(item);
    ++count;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) items[i].replaceKey("/Prev", items[i - 1]);
    if (i + 1 < items.size()) items[i].replaceKey("/Next", items[i + 1]);
  }
  if (!items.empty()) {
    parent.replaceKey("/First", items.front());
    parent.replaceKey("/Last", items.back());
  }
  return count;
}

}  // namespace

std::vector<TStoryPart> ReadStoryParts(const std::filesystem::path& folder) {
  std::ifstream in(folder / "story.txt", std::ios::binary);
  if (!in) throw EToolError("The viewer wrote no list of the story's pages");
  std::vector<TStoryPart> parts;
  for (std::string line; std::getline(in, line);) {
    const std::size_t tab = line.find('\t'), second = tab == std::string::npos ? tab : line.find('\t', tab + 1);
    if (second == std::string::npos) throw EToolError("The list of the story's pages is damaged: \"" + line + "\"");
    TStoryPart part;
    part.Level = std::max(1, std::atoi(line.substr(0, tab).c_str()));
    part.File = line.substr(tab + 1, second - tab - 1);
    part.Name = line.substr(second + 1);
    parts.push_back(std::move(part));
  }
  return parts;
}

int MergeStoryPdf(const std::filesystem::path& folder, const std::vector<TStoryPart>& parts, const std::filesystem::path& output) {
  try {
    QPDF pdf;
    pdf.emptyPDF();
    QPDFPageDocumentHelper merged(pdf);
    std::vector<std::unique_ptr<QPDF>> sources;  // kept until written: the pages are copied lazily
    std::vector<int> firstPage(parts.size(), -1);
    int pages = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (parts[i].File.empty()) continue;
      auto source = std::make_unique<QPDF>();
      source->processFile((folder / parts[i].File).string().c_str());
      firstPage[i] = pages;
      for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(*source).getAllPages()) {
        merged.addPage(page, false);
        ++pages;
      }
      sources.push_back(std::move(source));
    }
    if (pages == 0) throw EToolError("The story has no pages to print");
    const std::vector<QPDFPageObjectHelper> all = merged.getAllPages();
    // The story tree, each entry opening where its own page, or its chapter's first page, is.
    std::vector<TOutlineNode> top;
    std::vector<std::pair<int, std::vector<TOutlineNode>*>> open{{0, &top}};
    for (std::size_t i = 0; i < parts.size(); ++i) {
      int page = -1;
      for (std::size_t j = i; j < parts.size() && page < 0; ++j) page = firstPage[j];
      if (page < 0) page = pages - 1;  // a chapter after the last page
      while (open.size() > 1 && open.back().first >= parts[i].Level) open.pop_back();
      std::vector<TOutlineNode>& siblings = *open.back().second;
      siblings.push_back({parts[i].Name, page, {}});
      open.emplace_back(parts[i].Level, &siblings.back().Children);
    }
    QPDFObjectHandle outlines = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
    outlines.replaceKey("/Type", QPDFObjectHandle::newName("/Outlines"));
    outlines.replaceKey("/Count", QPDFObjectHandle::newInteger(Link(pdf, top, outlines, all)));
    pdf.getRoot().replaceKey("/Outlines", outlines);
    pdf.getRoot().replaceKey("/PageMode", QPDFObjectHandle::newName("/UseOutlines"));
    QPDFWriter writer(pdf);
    writer.setOutputMemory();
    writer.write();
    std::unique_ptr<Buffer> buffer(writer.getBuffer());
    WriteDiskFileAtomically(output, std::string(reinterpret_cast<const char*>(buffer->getBuffer()), buffer->getSize()));
    return pages;
  } catch (const EToolError&) {
    throw;
  } catch (const std::exception& e) {
    throw EToolError(std::string("The printed pages cannot be merged: ") + e.what());
  }
}
