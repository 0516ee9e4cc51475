// The viewer's message boxes, behind one seam: scripted runs and tests see and dismiss them
// instead of a person.
#pragma once

#include <QString>
#include <functional>

class QWidget;
class Exception;

using TMessageHandler = std::function<void(QWidget* parent, const QString& title, const QString& text)>;

// The application title, used as the title of the viewer's message boxes.
QString ApplicationTitle();
void SetApplicationTitle(const QString& title);

// Shows an error message box (or hands it to the installed handler).
void ShowErrorMessage(QWidget* parent, const QString& text);
// Shows an information message box (or hands it to the installed handler), titled with the
// application title unless a title is given.
void ShowMessage(QWidget* parent, const QString& text, const QString& title = QString());
// Replaces the message boxes; an empty handler restores them.
void SetMessageHandler(TMessageHandler handler);

// Asks the reader a yes-or-no question (No is the default); true for Yes.
bool AskReader(QWidget* parent, const QString& text);
// Replaces the question box (the handler gives the answer); an empty handler restores it.
void SetQuestionHandler(std::function<bool(const QString& text)> handler);

// A start-up failure as the reader sees it: the system's message, then what happened and where.
QString DescribedFailure(const QString& message, const Exception& e);

// The "Open book" dialog of a viewer started without a book: the file chosen, or an empty
// string when the reader cancels.
QString AskForBookFile();
