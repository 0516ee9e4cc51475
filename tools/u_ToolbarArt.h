// The toolbar pictures quirelle-pack --new gives a new book, drawn here: 24 x 24 BMP pictures
// on a magenta background, which the top-left pixel makes transparent. Needs a QGuiApplication.
#pragma once

#include <filesystem>
#include <string>

// Draws the picture named (a file name of NewBookPictureFiles, without folder and extension:
// "next", "print", ...) into the file.
void DrawToolbarPicture(const std::string& name, const std::filesystem::path& file);
