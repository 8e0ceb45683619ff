#include "printer_details_dlg.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "link_static.h"

namespace {

QString FromUtf16(const std::u16string& str) {
    return QString::fromUtf16(str.data(), static_cast<qsizetype>(str.size()));
}

// Horizontal dialog units of the widget's font: a quarter of the average
// width of the Latin letters, as dialog templates measure them.
int DialogUnitsToPixels(const QWidget* pWidget, int nUnits) {
    static const QString strLetters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int nAdvance = QFontMetrics(pWidget->font()).horizontalAdvance(strLetters);
    return (nUnits * nAdvance + 4 * 52 / 2) / (4 * 52);
}

// Long names and URLs must not stretch the dialog across the screen: a field
// grows with its text up to this width, then clips (the link menu still
// copies the whole text, the tooltip shows it).
constexpr int MAX_FIELD_WIDTH = 480;

}  // namespace

CPrinterDetailsDlg::CPrinterDetailsDlg(const PrinterData& printer, QWidget* pParent)
    : QDialog(pParent),
      m_strPrinter(FromUtf16(printer.strName)),
      m_strIpAddress(FromUtf16(printer.strIpAddress)),
      m_strUrl(FromUtf16(printer.strUrl)) {
    OnInitDialog();
}

CPrinterDetailsDlg::~CPrinterDetailsDlg() = default;

QString CPrinterDetailsDlg::EscapeWindowTitle(const QString& strTitle) {
    QString str = strTitle;
    str.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
    return str;
}

void CPrinterDetailsDlg::OnInitDialog() {
    setWindowTitle(EscapeWindowTitle(m_strPrinter));

    auto* pGroup = new QGroupBox(tr("Details"), this);
    auto* pGrid = new QGridLayout(pGroup);

    m_editName = new QLineEdit(pGroup);
    m_editName->setReadOnly(true);
    m_editName->setFrame(false);
    m_editName->setText(m_strPrinter);
    m_editName->setCursorPosition(0);
    // Read-only text sits on the dialog's background, as a label would.
    m_editName->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; }"));

    m_linkIpAddress = new CLinkStatic(m_strIpAddress, pGroup);
    m_linkUrl = new CLinkStatic(m_strUrl, pGroup);
    // A screen reader names each field for what it holds; a link's own name
    // is the address it opens (see CLinkStatic's accessible interface).
    m_editName->setAccessibleName(tr("Printer name"));
    m_editName->setAccessibleDescription(tr("Read-only; the name can be selected and copied."));
    m_linkIpAddress->setAccessibleDescription(
        tr("The printer's IP address: opens it in the web browser; its menu also copies it."));
    m_linkUrl->setAccessibleDescription(
        tr("The printer's web page: opens it in the web browser; its menu also copies it."));

    const int nFieldMin = DialogUnitsToPixels(this, 154);
    const QFontMetrics fm(font());
    auto fitWidth = [&](QWidget* pField, const QString& strText, int nExtra) {
        const int nNatural = fm.horizontalAdvance(strText) + nExtra;
        pField->setMinimumWidth(std::clamp(nNatural, nFieldMin, std::max(nFieldMin, MAX_FIELD_WIDTH)));
        pField->setSizePolicy(QSizePolicy::Ignored, pField->sizePolicy().verticalPolicy());
        if (nNatural > MAX_FIELD_WIDTH) pField->setToolTip(strText);
    };
    fitWidth(m_editName, m_strPrinter, 8);
    fitWidth(m_linkIpAddress, m_strIpAddress, 2);
    fitWidth(m_linkUrl, m_strUrl, 2);

    const int nLabelWidth = DialogUnitsToPixels(this, 45);
    auto addRow = [&](int nRow, const QString& strLabel, QWidget* pField) {
        auto* pLabel = new QLabel(strLabel, pGroup);
        pLabel->setMinimumWidth(nLabelWidth);
        pLabel->setBuddy(pField);  // labels the field for assistive technology
        pGrid->addWidget(pLabel, nRow, 0);
        pGrid->addWidget(pField, nRow, 1);
    };
    addRow(0, tr("Printer:"), m_editName);
    addRow(1, tr("IP address:"), m_linkIpAddress);
    addRow(2, tr("Url:"), m_linkUrl);
    pGrid->setColumnStretch(1, 1);

    auto* pOk = new QPushButton(tr("OK"), this);
    pOk->setDefault(true);
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
    auto* pButtons = new QHBoxLayout;
    pButtons->addStretch(1);
    pButtons->addWidget(pOk);

    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(pGroup);
    pLayout->addLayout(pButtons);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);

    pOk->setFocus();
}
