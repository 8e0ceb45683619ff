#include "about_box.h"

#include <QLabel>
#include <QMessageBox>
#include <string>

#include "conv_string.h"
#include "file_version_info.h"

namespace {

QString FromUtf16(const std::u16string& str) {
    return QString::fromUtf16(str.data(), static_cast<qsizetype>(str.size()));
}

const char16_t* const ABOUT_CAPTION = u"Halvet Printer Locator";

}  // namespace

QString ComposeAboutText(const QString& strProductName, const QString& strFileVersion,
                         const QString& strCompanyName) {
    std::u16string strVersion = strFileVersion.toStdU16String();
    CommasToPoints(strVersion);

    QString strText;
    strText += strProductName + u'\n';
    strText += QStringLiteral("Version: ") + FromUtf16(strVersion) + QStringLiteral("\n\n");
    strText += QStringLiteral("Copyright (C) 2026 Ostrel\n");
    strText += strCompanyName + QStringLiteral(". All rights reserved.\n\n");
    // The outside code the package links (hvl-scan also builds in a header-only
    // JSON library), as the Debian packages' copyright files state it.
    strText += QStringLiteral(
        "This program uses Qt 6, GLib/GIO, GSSDP, libsoup and libxml2; hvl-scan also nlohmann/json.\n");
    strText += QStringLiteral(
        "Copyright (C) The Qt Company Ltd., Red Hat, Inc., OpenedHand Ltd., Daniel Veillard, "
        "Niels Lohmann and others.\n");
    strText += QStringLiteral(
        "Licences: GNU LGPL 3 (Qt), GNU LGPL 2.1 or later (GLib, GSSDP, libsoup), "
        "MIT (libxml2, nlohmann/json).\n");
    strText += QStringLiteral(
        "Licence texts: /usr/share/doc/<package>/copyright and /usr/share/common-licenses/.\n");
    return strText;
}

bool ReadAboutText(QString& strText) {
    CFileVersionInfo info;
    if (info.Create() == 0) return false;
    strText = ComposeAboutText(FromUtf16(info.GetProductName()), FromUtf16(info.GetFileVersion()),
                               FromUtf16(info.GetCompanyName()));
    return true;
}

namespace {

void DescribeAboutBox(QMessageBox& box) {
    // A screen reader reads the text label whole; the picture beside it is
    // the program's icon, not content, and is named as such.
    box.setAccessibleDescription(QStringLiteral("About Halvet Printer Locator"));
    if (auto* pIcon = box.findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label"))) {
        pIcon->setAccessibleName(QStringLiteral("Halvet Printer Locator icon"));
    }
    if (auto* pText = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        pText->setAccessibleDescription(QStringLiteral("Product, version, copyright and licences"));
    }
}

}  // namespace

void ShowAboutBox(QWidget* pOwner, const QIcon& icon) {
    QString strText;
    if (!ReadAboutText(strText)) return;

    QMessageBox box(pOwner);
    box.setWindowTitle(FromUtf16(ABOUT_CAPTION));
    // The block's strings are shown as they are stored, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(strText);
    // Drawn at the screen's scale, so a scale of 2 takes the 96 px image.
    if (!icon.isNull()) box.setIconPixmap(icon.pixmap(QSize(48, 48), box.devicePixelRatioF()));
    box.setStandardButtons(QMessageBox::Ok);
    DescribeAboutBox(box);
    box.exec();
}
