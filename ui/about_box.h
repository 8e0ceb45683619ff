// The about box: product, version, copyright and the notice on licensed
// outside code, composed from the program's own version block.
#pragma once

#include <QIcon>
#include <QString>

class QWidget;

// The text for the given version strings, in the box's line layout; commas
// in the version read as points ("1,0,14,1" -> "1.0.14.1").
QString ComposeAboutText(const QString& strProductName, const QString& strFileVersion,
                         const QString& strCompanyName);

// The text from the program's own version block; false (and no text) when
// the program carries no readable block.
bool ReadAboutText(QString& strText);

// Shows the box modally over pOwner and returns when the user closed it.
// Shows nothing when the program has no readable version block.
void ShowAboutBox(QWidget* pOwner, const QIcon& icon);
