#include "u_UserForms.h"

#include <algorithm>

#include "u_MFS.h"
#include "u_SpaceXMLParser.h"

namespace {

std::string Text(const TXMLNode& e, const char* name) { return e.Attributes.ValueOf(name, TXMLValue::Text(std::string())).AsText(); }
bool Boolean(const TXMLNode& e, const char* name) { return e.Attributes.ValueOf(name, TXMLValue::Boolean(false)).AsBoolean(); }
std::int32_t Integer(const TXMLNode& e, const char* name) { return e.Attributes.ValueOf(name, TXMLValue::Integer(-1)).AsInteger(); }

}  // namespace

TUserForm::TUserForm(const TXMLNode& element, std::string resolvedPath) : Path(std::move(resolvedPath)), Line(element.Line) {
  HideScrollBar = Boolean(element, "HideScrollBar");
  Width = Integer(element, "Width");
  Height = Integer(element, "Height");
  Top = Integer(element, "Top");
  Left = Integer(element, "Left");
  if (Boolean(element, "HideBorder")) BorderStyle = bsNone;
  else BorderStyle = Boolean(element, "Sizable") ? bsSizeable : bsSingle;
  BorderIcons = biSystemMenu | biMinimize | biMaximize;
  if (!Boolean(element, "SystemMenu")) BorderIcons &= static_cast<std::uint8_t>(~biSystemMenu);
  if (!Boolean(element, "Minimize")) BorderIcons &= static_cast<std::uint8_t>(~biMinimize);
  if (!Boolean(element, "Maximize")) BorderIcons &= static_cast<std::uint8_t>(~biMaximize);
  Caption = Text(element, "Caption");
  Center = Boolean(element, "Center");
}

TUserForms::TUserForms(TMFSSession* session, const std::string* text) : FForms(true, false, true) {
  if (!session || !text) return;
  TXMLParser parser;
  parser.Parse(*text);
  // The reader takes a file that ends before its first element (a zero byte ends it) as empty;
  // a forms file that holds anything but blanks and yet no element is not one.
  if (const std::size_t junk = text->find_first_not_of(" \t\r\n"); parser.Root()->Name.empty() && junk != std::string::npos) {
    const auto line = 1 + std::count(text->begin(), text->begin() + static_cast<std::ptrdiff_t>(junk), '\n');
    throw EUserFormsError(Format(SParseError, {std::string("Element expected"), static_cast<std::int64_t>(line)}));
  }
  const TXMLNodes& children = parser.Root()->Nodes;
  for (std::int32_t i = 0; i < children.Count(); ++i) {
    const TXMLNode& element = children.Items(i);
    if (!SameText(element.Name, "Form")) continue;
    const std::string name = Text(element, "Name");
    std::string path = session->ExpandPath(Text(element, "Path"));
    FForms.Set_Item(name, new TUserForm(element, std::move(path)));
  }
}
