// Lets the user switch each discovery method on or off. The caller fills the
// four members before exec() and reads the two options back after Accepted.
#pragma once

#include <QDialog>
#include <cstdint>

class QCheckBox;

class CPrinterLocatorOptionsDlg : public QDialog {
    Q_OBJECT

public:
    explicit CPrinterLocatorOptionsDlg(QWidget* pParent = nullptr);
    ~CPrinterLocatorOptionsDlg() override;

    // Set before the dialog opens. An option only changes when its box is
    // clicked, so a stored value other than 0 or 1 survives an untouched OK.
    int32_t m_bMdnsEnabled = 0;
    int32_t m_bUpnpEnabled = 0;
    int32_t m_bMdnsAvailable = 0;
    int32_t m_bUpnpAvailable = 0;

    QCheckBox* GetMdnsCheckBox() const { return m_chkMdns; }
    QCheckBox* GetUpnpCheckBox() const { return m_chkUpnp; }

protected:
    void showEvent(QShowEvent* pEvent) override;

private:
    // Puts the members into the boxes; runs once, when the dialog first shows.
    void OnInitDialog();
    // Opens at the top left corner of the owner's client area, not centred.
    void PlaceAtOwner();
    void OnClickedMdns();
    void OnClickedUpnp();

    QCheckBox* m_chkMdns = nullptr;
    QCheckBox* m_chkUpnp = nullptr;
    bool m_bInitialised = false;
};
