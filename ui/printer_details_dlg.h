// Shows one listed printer: its name as caption and as selectable text, its
// IP address and URL as links. It works on copies taken when it is built, so
// a scan going on meanwhile does not change what it shows.
#pragma once

#include <QDialog>
#include <QString>

#include "printer_list.h"

class QLineEdit;
class CLinkStatic;

class CPrinterDetailsDlg : public QDialog {
    Q_OBJECT

public:
    explicit CPrinterDetailsDlg(const PrinterData& printer, QWidget* pParent = nullptr);
    ~CPrinterDetailsDlg() override;

    QLineEdit* GetNameEdit() const { return m_editName; }
    CLinkStatic* GetIpAddressLink() const { return m_linkIpAddress; }
    CLinkStatic* GetUrlLink() const { return m_linkUrl; }

    // Qt reads "[*]" in a window title as the modified-marker; printer names
    // are shown literally.
    static QString EscapeWindowTitle(const QString& strTitle);

private:
    void OnInitDialog();

    const QString m_strPrinter;
    const QString m_strIpAddress;
    const QString m_strUrl;
    QLineEdit* m_editName = nullptr;
    CLinkStatic* m_linkIpAddress = nullptr;
    CLinkStatic* m_linkUrl = nullptr;
};
