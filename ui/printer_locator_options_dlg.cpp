#include "printer_locator_options_dlg.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

CPrinterLocatorOptionsDlg::CPrinterLocatorOptionsDlg(QWidget* pParent) : QDialog(pParent) {
    setWindowTitle(QStringLiteral("Halvet Printer Locator"));

    auto* pGroup = new QGroupBox(tr("Search options"), this);
    m_chkMdns = new QCheckBox(tr("&Printer Locator Service (mDNS)"), pGroup);
    m_chkUpnp = new QCheckBox(tr("&Universal Plug and Play (UPNP)"), pGroup);
    m_chkMdns->setAccessibleDescription(
        tr("Finds printers by DNS service discovery over multicast DNS, through avahi-daemon; "
           "unavailable while avahi-daemon does not run."));
    m_chkUpnp->setAccessibleDescription(tr("Finds printers by a UPnP device search."));
    pGroup->setAccessibleDescription(tr("The discovery methods the next scan uses."));
    auto* pGroupLayout = new QVBoxLayout(pGroup);
    pGroupLayout->addWidget(m_chkMdns);
    pGroupLayout->addWidget(m_chkUpnp);

    auto* pOk = new QPushButton(tr("OK"), this);
    auto* pCancel = new QPushButton(tr("Cancel"), this);
    pOk->setDefault(true);
    pOk->setAutoDefault(true);
    pCancel->setAutoDefault(false);
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(pCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* pButtons = new QHBoxLayout;
    pButtons->addStretch(1);
    pButtons->addWidget(pOk);
    pButtons->addWidget(pCancel);

    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(pGroup);
    pLayout->addLayout(pButtons);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);

    // The keyboard starts on OK and tabs through the buttons before the boxes,
    // so Space at once confirms rather than flipping an option.
    setTabOrder(pOk, pCancel);
    setTabOrder(pCancel, m_chkMdns);
    setTabOrder(m_chkMdns, m_chkUpnp);
    pOk->setFocus();

    // clicked, not toggled: only the user's own click (mouse, space or the
    // mnemonic) changes an option, never setting the initial state.
    connect(m_chkMdns, &QCheckBox::clicked, this, &CPrinterLocatorOptionsDlg::OnClickedMdns);
    connect(m_chkUpnp, &QCheckBox::clicked, this, &CPrinterLocatorOptionsDlg::OnClickedUpnp);
}

CPrinterLocatorOptionsDlg::~CPrinterLocatorOptionsDlg() = default;

void CPrinterLocatorOptionsDlg::showEvent(QShowEvent* pEvent) {
    if (!m_bInitialised) {
        m_bInitialised = true;
        PlaceAtOwner();
        OnInitDialog();
    }
    QDialog::showEvent(pEvent);
}

void CPrinterLocatorOptionsDlg::PlaceAtOwner() {
    QWidget* pOwner = parentWidget();
    if (pOwner == nullptr) return;
    // The owner's client area begins below its menu bar.
    QPoint ptOrigin(0, 0);
    if (QLayout* pOwnerLayout = pOwner->layout();
        pOwnerLayout != nullptr && pOwnerLayout->menuBar() != nullptr) {
        ptOrigin.setY(pOwnerLayout->menuBar()->geometry().bottom() + 1);
    }
    move(pOwner->mapToGlobal(ptOrigin));
}

void CPrinterLocatorOptionsDlg::OnInitDialog() {
    m_chkMdns->setChecked(m_bMdnsEnabled != 0);
    m_chkUpnp->setChecked(m_bUpnpEnabled != 0);
    // An unavailable method's box still shows the stored option.
    m_chkMdns->setEnabled(m_bMdnsAvailable != 0);
    m_chkUpnp->setEnabled(m_bUpnpAvailable != 0);
}

void CPrinterLocatorOptionsDlg::OnClickedMdns() {
    m_bMdnsEnabled = m_chkMdns->isChecked() ? 1 : 0;
}

void CPrinterLocatorOptionsDlg::OnClickedUpnp() {
    m_bUpnpEnabled = m_chkUpnp->isChecked() ? 1 : 0;
}
