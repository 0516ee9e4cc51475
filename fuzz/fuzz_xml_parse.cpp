// Feeds arbitrary bytes to the description-file reader and converts every attribute value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "u_SpaceXMLParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TXMLParser parser;
  try {
    parser.Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const Exception&) {
  }
  std::vector<const TXMLNode*> pending;
  if (parser.Root()) pending.push_back(parser.Root());
  while (!pending.empty()) {
    const TXMLNode* node = pending.back();
    pending.pop_back();
    node->Attributes.ForEach([](const TXMLAttribute& a) {
      try { (void)a.Value.AsText(); } catch (const Exception&) {}
      try { (void)a.Value.AsInteger(); } catch (const Exception&) {}
      try { (void)a.Value.AsBoolean(); } catch (const Exception&) {}
      try { (void)a.Value.Negated().AsBoolean(); } catch (const Exception&) {}
    });
    (void)node->Nodes.FindNode("splash");
    for (std::int32_t i = 0; i < node->Nodes.Count(); ++i) pending.push_back(&node->Nodes.Items(i));
  }
  return 0;
}
