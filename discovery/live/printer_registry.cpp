#include "printer_registry.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_set>

namespace {

// mDNS says most of a printer (its TXT record): its finding leads the row.
int KindRank(int32_t nKind) {
    return nKind == PROVIDER_KIND_MDNS ? -1 : nKind;
}

std::u16string KeyText(const FindingKey& key) {
    return std::u16string(1, static_cast<char16_t>(key.nKind + 1)) + u'\x1f' + key.strKey;
}

// Where a finding is: its addresses and, for DNS-SD, the host its SRV names
// (one name is one device; a service resolved only to the link-local IPv6
// address its host also announces is still that host's). Places compare
// without case, as addresses do.
std::vector<std::u16string> Places(const ScanRow& row) {
    std::vector<std::u16string> aPlaces = row.aAddresses;
    if (!row.strHostTarget.empty()) aPlaces.push_back(u"\x1fhost:" + row.strHostTarget);
    return aPlaces;
}

bool SameTxt(const std::vector<DnsSdTxtItem>& a, const std::vector<DnsSdTxtItem>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.strKey == y.strKey && x.strValue == y.strValue && x.bHasValue == y.bHasValue;
    });
}

// The row's TXT, and each service's that both rows have (one added or
// gone is a change of "types").
bool SameServicesTxt(const ScanRow& a, const ScanRow& b) {
    if (!SameTxt(a.aTxtItems, b.aTxtItems)) return false;
    for (const MdnsService& x : a.aServices) {
        for (const MdnsService& y : b.aServices) {
            if (x.strType == y.strType && x.strName == y.strName && !SameTxt(x.aTxtItems, y.aTxtItems))
                return false;
        }
    }
    return true;
}

std::set<std::u16string> Types(const ScanRow& row) {
    std::set<std::u16string> types;
    for (const MdnsService& service : row.aServices) types.insert(service.strType);
    return types;
}

bool SameServices(const std::vector<MdnsService>& a, const std::vector<MdnsService>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const MdnsService& x, const MdnsService& y) {
        return x.strType == y.strType && x.strName == y.strName && x.strHostTarget == y.strHostTarget &&
               x.nPort == y.nPort && SameTxt(x.aTxtItems, y.aTxtItems);
    });
}

// Whether a finding says what it said: every field a row is composed of.
bool SameFinding(const ScanRow& a, const ScanRow& b) {
    return a.strId == b.strId && a.strName == b.strName && a.strIpAddress == b.strIpAddress &&
           a.strUrl == b.strUrl && a.aAddresses == b.aAddresses && a.strType == b.strType &&
           a.strModel == b.strModel && a.strDomain == b.strDomain && a.strUuid == b.strUuid &&
           a.strLocation == b.strLocation && a.strHostTarget == b.strHostTarget && a.nPort == b.nPort &&
           a.strSnmpCommunity == b.strSnmpCommunity && a.bDetailsUnread == b.bDetailsUnread &&
           SameTxt(a.aTxtItems, b.aTxtItems) && SameServices(a.aServices, b.aServices);
}

void AddKind(ScanRow& row, int32_t nKind) {
    if (nKind != row.nKind &&
        std::find(row.aOtherKinds.begin(), row.aOtherKinds.end(), nKind) == row.aOtherKinds.end())
        row.aOtherKinds.push_back(nKind);
}

}  // namespace

std::vector<std::string> ChangedFields(const ScanRow& before, const ScanRow& after) {
    std::vector<std::string> aChanged;
    if (before.strName != after.strName) aChanged.push_back("name");
    if (before.strUrl != after.strUrl) aChanged.push_back("url");
    if (before.strModel != after.strModel) aChanged.push_back("model");
    if (before.strLocation != after.strLocation) aChanged.push_back("location");
    if (before.aAddresses != after.aAddresses) aChanged.push_back("addresses");
    if (before.nKind != after.nKind || before.aOtherKinds != after.aOtherKinds) aChanged.push_back("sources");
    if (ScanRowId(before) != ScanRowId(after)) aChanged.push_back("id");
    if (!SameServicesTxt(before, after)) aChanged.push_back("txt");
    if (Types(before) != Types(after)) aChanged.push_back("types");
    if (before.nState != after.nState) aChanged.push_back("state");
    return aChanged;
}

const char* RemoveReasonText(LiveRemoveReason reason) {
    switch (reason) {
        case LiveRemoveReason::GOODBYE:
            return "goodbye";
        case LiveRemoveReason::EXPIRED:
            return "expired";
        case LiveRemoveReason::FORGOTTEN:
            return "forgotten";
        case LiveRemoveReason::NO_ANSWER:
            break;
    }
    return "no answer";
}

void CPrinterRegistry::Tell(Events& out, WatchEventKind nKind, const ScanRow& row,
                            std::vector<std::string> aChanged, LiveRemoveReason reason,
                            std::u16string strGoneId) const {
    WatchEvent& event = out.emplace_back();
    event.nKind = nKind;
    event.reason = reason;
    event.aChanged = std::move(aChanged);
    event.strGoneId = std::move(strGoneId);
    event.row = row;
    event.tTime = std::chrono::system_clock::now();
}

void CPrinterRegistry::IndexFinding(FindingHandle hFinding, bool bAdd) {
    const Finding& finding = m_findings.at(hFinding);
    auto fnIndex = [&](auto& index, const std::u16string& str) {
        if (bAdd) {
            index.emplace(str, hFinding);
            return;
        }
        const auto [itFirst, itLast] = index.equal_range(str);
        for (auto it = itFirst; it != itLast; ++it) {
            if (it->second == hFinding) {
                index.erase(it);
                return;
            }
        }
    };
    for (const std::u16string& str : Places(finding.row)) fnIndex(m_findingsAt, str);
    if (!finding.row.strId.empty()) fnIndex(m_findingsOf, finding.row.strId);
}

void CPrinterRegistry::Index(uint64_t nRow, bool bAdd) {
    const Entry& entry = m_rows.at(nRow);
    if (!entry.bListed) return;
    const std::u16string strId = ScanRowId(entry.row);
    if (bAdd) {
        ++m_nListed;
        m_byId.emplace(strId, nRow);
        for (const std::u16string& str : entry.row.aAddresses) m_rowsAt.emplace(str, nRow);
        return;
    }
    --m_nListed;
    const auto itId = m_byId.find(strId);
    if (itId != m_byId.end() && itId->second == nRow) m_byId.erase(itId);
    for (const std::u16string& str : entry.row.aAddresses) {
        const auto [itFirst, itLast] = m_rowsAt.equal_range(str);
        for (auto it = itFirst; it != itLast; ++it) {
            if (it->second == nRow) {
                m_rowsAt.erase(it);
                break;
            }
        }
    }
}

FindingHandle CPrinterRegistry::Report(const FindingKey& key, ScanRow row, Clock::time_point tNow,
                                       Events& out) {
    std::erase(row.aAddresses, std::u16string());
    if (row.strIpAddress.empty() && row.aAddresses.empty()) return 0;
    PreferAddresses(row);
    row.nKind = key.nKind;
    const auto [itKey, bNew] = m_byKey.try_emplace(KeyText(key), m_hNext);
    if (bNew) {
        Finding& finding = m_findings[m_hNext];
        finding.key = key;
        finding.row = std::move(row);
        IndexFinding(m_hNext, true);
        Regroup({m_hNext}, {}, LiveRemoveReason::GOODBYE, tNow, out);
        SignOfLife(m_findings.at(m_hNext).nRow, tNow, out);
        return m_hNext++;
    }
    Finding& finding = m_findings.at(itKey->second);
    if (row.bDetailsUnread && !finding.row.bDetailsUnread) {
        // A read that failed is no change: what the printer told before stays.
        for (std::u16string ScanRow::*pText :
             {&ScanRow::strName, &ScanRow::strUrl, &ScanRow::strModel, &ScanRow::strLocation})
            row.*pText = finding.row.*pText;
        row.bDetailsUnread = false;
    }
    return Replace(itKey->second, std::move(row), tNow, out);
}

FindingHandle CPrinterRegistry::Replace(FindingHandle hFinding, ScanRow row, Clock::time_point tNow,
                                        Events& out) {
    Finding& finding = m_findings.at(hFinding);
    // A search that finds the printer as it was (the usual answer) is a
    // sign of life only: no regrouping.
    if (SameFinding(finding.row, row)) {
        SignOfLife(finding.nRow, tNow, out);
        return hFinding;
    }
    IndexFinding(hFinding, false);
    finding.row = std::move(row);
    IndexFinding(hFinding, true);
    Regroup({hFinding}, {finding.nRow}, LiveRemoveReason::GOODBYE, tNow, out);
    SignOfLife(m_findings.at(hFinding).nRow, tNow, out);
    return hFinding;
}

void CPrinterRegistry::SetAddresses(FindingHandle hFinding, std::vector<std::u16string> aAddresses,
                                    Clock::time_point tNow, Events& out) {
    const auto it = m_findings.find(hFinding);
    if (it == m_findings.end() || aAddresses.empty()) return;
    ScanRow row = it->second.row;
    row.aAddresses = std::move(aAddresses);
    row.strIpAddress.clear();
    PreferAddresses(row);
    Replace(hFinding, std::move(row), tNow, out);
}

void CPrinterRegistry::Heard(FindingHandle hFinding, Clock::time_point tNow, Events& out) {
    const auto it = m_findings.find(hFinding);
    if (it != m_findings.end()) SignOfLife(it->second.nRow, tNow, out);
}

void CPrinterRegistry::Withdraw(FindingHandle hFinding, LiveRemoveReason reason, Clock::time_point tNow,
                                Events& out) {
    const auto it = m_findings.find(hFinding);
    if (it == m_findings.end()) return;
    const uint64_t nRow = it->second.nRow;
    // Those at its addresses may join another row now.
    std::vector<FindingHandle> aSeeds;
    for (const std::u16string& str : Places(it->second.row)) {
        const auto [itFirst, itLast] = m_findingsAt.equal_range(str);
        for (auto itAt = itFirst; itAt != itLast; ++itAt) {
            if (itAt->second != hFinding) aSeeds.push_back(itAt->second);
        }
    }
    IndexFinding(hFinding, false);
    m_byKey.erase(KeyText(it->second.key));
    m_findings.erase(it);
    Regroup(std::move(aSeeds), {nRow}, reason, tNow, out);
}

void CPrinterRegistry::Connected(std::vector<FindingHandle>& aFindings, std::vector<uint64_t>& aRows) const {
    std::unordered_set<FindingHandle> seenFindings(aFindings.begin(), aFindings.end());
    std::unordered_set<uint64_t> seenRows(aRows.begin(), aRows.end());
    auto fnAdd = [&](FindingHandle h) {
        if (m_findings.count(h) != 0 && seenFindings.insert(h).second) aFindings.push_back(h);
    };
    size_t nRowsDone = 0;
    for (size_t i = 0; i < aFindings.size() || nRowsDone < aRows.size();) {
        if (nRowsDone < aRows.size()) {
            const auto itRow = m_rows.find(aRows[nRowsDone++]);
            if (itRow != m_rows.end()) {
                for (FindingHandle h : itRow->second.aFindings) fnAdd(h);
            }
            continue;
        }
        const Finding& finding = m_findings.at(aFindings[i++]);
        for (const std::u16string& str : Places(finding.row)) {
            const auto [itFirst, itLast] = m_findingsAt.equal_range(str);
            for (auto it = itFirst; it != itLast; ++it) fnAdd(it->second);
        }
        if (!finding.row.strId.empty()) {
            const auto [itFirst, itLast] = m_findingsOf.equal_range(finding.row.strId);
            for (auto it = itFirst; it != itLast; ++it) fnAdd(it->second);
        }
        if (finding.nRow != 0 && seenRows.insert(finding.nRow).second) aRows.push_back(finding.nRow);
    }
}

std::vector<std::vector<FindingHandle>> CPrinterRegistry::Partition(
    const std::vector<FindingHandle>& aFindings) const {
    // Those of an identity by it; the others in clusters that share addresses.
    std::map<std::u16string, std::vector<FindingHandle>> byIdentity;
    std::vector<FindingHandle> aPlain;
    for (FindingHandle h : aFindings) {
        const std::u16string& strId = m_findings.at(h).row.strId;
        if (strId.empty()) {
            aPlain.push_back(h);
        } else {
            byIdentity[strId].push_back(h);
        }
    }
    std::sort(aPlain.begin(), aPlain.end());
    std::vector<size_t> aParent(aPlain.size());
    for (size_t i = 0; i < aParent.size(); ++i) aParent[i] = i;
    auto fnRoot = [&aParent](size_t i) {
        while (aParent[i] != i) i = aParent[i] = aParent[aParent[i]];
        return i;
    };
    std::unordered_map<std::u16string, size_t, CNoCaseHash, CNoCaseEqual> firstAt;
    for (size_t i = 0; i < aPlain.size(); ++i) {
        for (const std::u16string& str : Places(m_findings.at(aPlain[i]).row)) {
            const auto [it, bNew] = firstAt.try_emplace(str, i);
            if (!bNew) aParent[fnRoot(i)] = fnRoot(it->second);
        }
    }
    std::map<size_t, std::vector<FindingHandle>> clusters;
    for (size_t i = 0; i < aPlain.size(); ++i) clusters[fnRoot(i)].push_back(aPlain[i]);
    std::vector<std::vector<FindingHandle>> aGroups;
    for (auto& [nRoot, aCluster] : clusters) {
        // The identities at the cluster's addresses: it joins the one there is.
        std::set<std::u16string> identities;
        for (FindingHandle h : aCluster) {
            for (const std::u16string& str : Places(m_findings.at(h).row)) {
                const auto [itFirst, itLast] = m_findingsAt.equal_range(str);
                for (auto it = itFirst; it != itLast; ++it) {
                    const std::u16string& strId = m_findings.at(it->second).row.strId;
                    if (!strId.empty()) identities.insert(strId);
                }
            }
        }
        if (identities.size() == 1 && byIdentity.count(*identities.begin()) != 0) {
            auto& aGroup = byIdentity[*identities.begin()];
            aGroup.insert(aGroup.end(), aCluster.begin(), aCluster.end());
        } else {
            aGroups.push_back(std::move(aCluster));
        }
    }
    for (auto& [strId, aGroup] : byIdentity) aGroups.push_back(std::move(aGroup));
    return aGroups;
}

ScanRow CPrinterRegistry::Compose(std::vector<FindingHandle>& aGroup) const {
    std::sort(aGroup.begin(), aGroup.end(), [this](FindingHandle a, FindingHandle b) {
        const FindingKey& x = m_findings.at(a).key;
        const FindingKey& y = m_findings.at(b).key;
        return std::pair(KindRank(x.nKind), x.strKey) < std::pair(KindRank(y.nKind), y.strKey);
    });
    // The lead: of the leading method's findings the last by key, so that an
    // mDNS printer is led by "_printer._tcp" (as the window lists it) before
    // "_pdl-datastream._tcp" and the IPP types; whichever came first.
    size_t nLead = 0;
    while (nLead + 1 < aGroup.size() && KindRank(m_findings.at(aGroup[nLead + 1]).key.nKind) ==
                                            KindRank(m_findings.at(aGroup.front()).key.nKind))
        ++nLead;
    ScanRow row = m_findings.at(aGroup[nLead]).row;
    row.aOtherKinds.clear();
    row.aAddresses.clear();
    row.aServices.clear();
    for (const std::u16string& str : m_findings.at(aGroup[nLead]).row.aAddresses)
        InsertAddress(row.aAddresses, str);
    for (FindingHandle h : aGroup) {
        const ScanRow& said = m_findings.at(h).row;
        AddKind(row, said.nKind);
        for (const std::u16string& str : said.aAddresses) InsertAddress(row.aAddresses, str);
        for (const MdnsService& service : said.aServices) AddService(row.aServices, service);
        for (std::u16string ScanRow::*pText :
             {&ScanRow::strId, &ScanRow::strName, &ScanRow::strUrl, &ScanRow::strModel, &ScanRow::strLocation,
              &ScanRow::strUuid, &ScanRow::strHostTarget, &ScanRow::strDomain}) {
            if ((row.*pText).empty()) row.*pText = said.*pText;
        }
        if (row.strSnmpCommunity.empty()) row.strSnmpCommunity = said.strSnmpCommunity;
        if (row.aTxtItems.empty()) row.aTxtItems = said.aTxtItems;
        if (row.nPort == 0) row.nPort = said.nPort;
        row.bDetailsUnread = row.bDetailsUnread && said.bDetailsUnread;
    }
    row.strIpAddress = row.aAddresses.empty() ? std::u16string() : row.aAddresses.front();
    return row;
}

void CPrinterRegistry::Regroup(std::vector<FindingHandle> aSeeds, std::vector<uint64_t> aOldRows,
                               LiveRemoveReason reason, Clock::time_point tNow, Events& out) {
    Connected(aSeeds, aOldRows);
    std::vector<std::vector<FindingHandle>> aGroups = Partition(aSeeds);
    // Each old row goes on with the group that holds its oldest finding of
    // its identity (of any, without one); a group that holds several rows'
    // merges them into the first listed.
    std::unordered_map<FindingHandle, uint64_t> anchors;
    for (uint64_t nRow : aOldRows) {
        const auto itRow = m_rows.find(nRow);
        if (itRow == m_rows.end()) continue;
        FindingHandle hAnchor = 0;
        for (bool bAny : {false, true}) {
            if (bAny && hAnchor != 0) break;
            for (FindingHandle h : itRow->second.aFindings) {
                const auto itFinding = m_findings.find(h);
                if (itFinding == m_findings.end() || (hAnchor != 0 && h > hAnchor)) continue;
                if (bAny || itFinding->second.row.strId == itRow->second.row.strId) hAnchor = h;
            }
        }
        if (hAnchor != 0) anchors[hAnchor] = nRow;
    }
    std::unordered_set<uint64_t> claimed;
    std::vector<std::pair<std::vector<FindingHandle>, std::vector<uint64_t>>> aPlaced;
    for (std::vector<FindingHandle>& aGroup : aGroups) {
        std::vector<uint64_t> aRows;
        for (FindingHandle h : aGroup) {
            const auto it = anchors.find(h);
            if (it != anchors.end()) aRows.push_back(it->second);
        }
        std::sort(aRows.begin(), aRows.end());
        claimed.insert(aRows.begin(), aRows.end());
        aPlaced.emplace_back(std::move(aGroup), std::move(aRows));
    }
    for (uint64_t nRow : aOldRows) {
        if (claimed.count(nRow) == 0 && m_rows.count(nRow) != 0) Drop(nRow, reason, out);
    }
    for (auto& [aGroup, aRows] : aPlaced) {
        uint64_t nRow = 0;
        if (aRows.empty()) {
            nRow = m_nNextRow++;
            Entry& entry = m_rows[nRow];
            entry.tLastAnswer = tNow;
        } else {
            nRow = aRows.front();
            aRows.erase(aRows.begin());
        }
        Place(nRow, std::move(aGroup), aRows, tNow, out);
    }
}

void CPrinterRegistry::Place(uint64_t nRow, std::vector<FindingHandle> aGroup,
                             const std::vector<uint64_t>& aRetired, Clock::time_point tNow, Events& out) {
    Entry& entry = m_rows.at(nRow);
    Index(nRow, false);
    ScanRow before = entry.row;
    std::vector<std::u16string> aGoneIds;
    for (uint64_t nGone : aRetired) {
        Entry& gone = m_rows.at(nGone);
        entry.tLastAnswer = std::max(entry.tLastAnswer, gone.tLastAnswer);
        if (gone.bListed && !entry.bListed) {
            // Only the retired row was listed: the other goes on as it.
            entry.bListed = true;
            entry.bForgotten = false;
            before = entry.row = gone.row;
        } else if (gone.bListed) {
            aGoneIds.push_back(ScanRowId(gone.row));
        }
        Index(nGone, false);
        m_rows.erase(nGone);
    }
    for (FindingHandle h : aGroup) m_findings.at(h).nRow = nRow;
    ScanRow row = Compose(aGroup);
    entry.aFindings = std::move(aGroup);
    row.tFirstSeen = entry.row.tFirstSeen;
    row.tLastSeen = entry.row.tLastSeen;
    row.nState = entry.row.nState;
    row.strFixedId = !row.strId.empty() ? row.strId : entry.row.strFixedId;
    // No finding tells its identity any more: an identity is never kept
    // by a row that may be another printer's.
    if (row.strId.empty() && !row.strFixedId.empty() && !row.strFixedId.starts_with(u"ip:"))
        row.strFixedId = u"ip:" + row.strIpAddress;
    entry.row = std::move(row);
    if (!entry.bListed && !entry.bForgotten && (!m_settings.fnFilter || m_settings.fnFilter(entry.row))) {
        entry.bListed = true;
        entry.row.tFirstSeen = entry.row.tLastSeen = std::chrono::system_clock::now();
        if (entry.row.strFixedId.empty()) entry.row.strFixedId = ScanRowId(entry.row);
        entry.tLastAnswer = tNow;
        Index(nRow, true);
        Tell(out, WatchEventKind::ADD, entry.row);
        return;
    }
    if (!entry.bListed) return;
    Index(nRow, true);
    std::vector<std::string> aChanged = ChangedFields(before, entry.row);
    const std::u16string strId = ScanRowId(entry.row);
    if (ScanRowId(before) != strId) aGoneIds.push_back(ScanRowId(before));
    std::erase(aGoneIds, strId);
    if (aGoneIds.empty() && !aChanged.empty()) Tell(out, WatchEventKind::CHANGE, entry.row, aChanged);
    for (const std::u16string& strGone : aGoneIds) {
        if (std::find(aChanged.begin(), aChanged.end(), "id") == aChanged.end()) aChanged.push_back("id");
        Tell(out, WatchEventKind::CHANGE, entry.row, aChanged, LiveRemoveReason::NO_ANSWER, strGone);
    }
}

void CPrinterRegistry::Drop(uint64_t nRow, LiveRemoveReason reason, Events& out) {
    Entry& entry = m_rows.at(nRow);
    if (entry.bListed) {
        Index(nRow, false);
        Tell(out, WatchEventKind::REMOVE, entry.row, {}, reason);
    }
    m_rows.erase(nRow);
}

void CPrinterRegistry::SignOfLife(uint64_t nRow, Clock::time_point tNow, Events& out) {
    const auto it = m_rows.find(nRow);
    if (it == m_rows.end()) return;
    Entry& entry = it->second;
    entry.tLastAnswer = tNow;
    entry.row.tLastSeen = std::chrono::system_clock::now();
    if (entry.bForgotten) {
        // Back: listed again under the id it had.
        entry.bForgotten = false;
        entry.row.nState = RowState::REACHABLE;
        if (m_settings.fnFilter && !m_settings.fnFilter(entry.row)) return;
        entry.bListed = true;
        Index(nRow, true);
        Tell(out, WatchEventKind::ADD, entry.row);
        return;
    }
    if (entry.bListed && entry.row.nState == RowState::UNREACHABLE) {
        entry.row.nState = RowState::REACHABLE;
        Tell(out, WatchEventKind::CHANGE, entry.row, {"state"});
    }
}

void CPrinterRegistry::Answered(uint64_t nRow, Clock::time_point tNow, Events& out) {
    SignOfLife(nRow, tNow, out);
}

void CPrinterRegistry::Judge(Clock::time_point tNow, Events& out) {
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        Entry& entry = it->second;
        const auto silent = tNow - entry.tLastAnswer;
        if (entry.bListed && entry.row.nState == RowState::REACHABLE && silent >= 2 * m_settings.interval) {
            entry.row.nState = RowState::UNREACHABLE;
            Tell(out, WatchEventKind::CHANGE, entry.row, {"state"});
        }
        const bool bForget = entry.bListed && m_settings.forgetAfter.count() > 0 &&
                             silent >= 2 * m_settings.interval + m_settings.forgetAfter;
        if (!bForget) {
            ++it;
            continue;
        }
        Index(it->first, false);
        Tell(out, WatchEventKind::REMOVE, entry.row, {}, LiveRemoveReason::FORGOTTEN);
        entry.bListed = false;
        // What a method announces waits for its next sign; what only a
        // search finds is found again by the next search, if it answers.
        const bool bAnnounced =
            std::any_of(entry.aFindings.begin(), entry.aFindings.end(),
                        [this](FindingHandle h) { return m_findings.at(h).key.bAnnounced; });
        if (bAnnounced) {
            entry.bForgotten = true;
            ++it;
            continue;
        }
        for (FindingHandle h : entry.aFindings) {
            IndexFinding(h, false);
            m_byKey.erase(KeyText(m_findings.at(h).key));
            m_findings.erase(h);
        }
        it = m_rows.erase(it);
    }
}

void CPrinterRegistry::ReportChange(const std::u16string& strId, std::vector<std::string> aChanged,
                                    Events& out) const {
    const ScanRow* pRow = FindById(strId);
    if (pRow && !aChanged.empty()) Tell(out, WatchEventKind::CHANGE, *pRow, std::move(aChanged));
}

void CPrinterRegistry::SetIdentity(const std::u16string& strId, const std::u16string& strUuid,
                                   Clock::time_point tNow, Events& out) {
    const auto it = m_byId.find(strId);
    if (it == m_byId.end() || strUuid.empty()) return;
    std::vector<FindingHandle> aChanged;
    for (FindingHandle h : m_rows.at(it->second).aFindings) {
        Finding& finding = m_findings.at(h);
        if (!finding.row.strId.empty()) continue;
        IndexFinding(h, false);
        finding.row.strId = strUuid;
        IndexFinding(h, true);
        aChanged.push_back(h);
    }
    if (!aChanged.empty()) Regroup(std::move(aChanged), {it->second}, LiveRemoveReason::GOODBYE, tNow, out);
}

void CPrinterRegistry::SetLocationIfUnknown(const std::u16string& strId, const std::u16string& strLocation) {
    const auto it = m_byId.find(strId);
    if (it == m_byId.end()) return;
    std::u16string& str = m_rows.at(it->second).row.strLocation;
    if (str.empty()) str = strLocation;
}

std::vector<ScanRow> CPrinterRegistry::GetRows() const {
    std::vector<ScanRow> aRows;
    aRows.reserve(m_nListed);
    for (const auto& [nRow, entry] : m_rows) {
        if (entry.bListed) aRows.push_back(entry.row);
    }
    return aRows;
}

const ScanRow* CPrinterRegistry::FindById(const std::u16string& strId) const {
    const auto it = m_byId.find(strId);
    return it == m_byId.end() ? nullptr : &m_rows.at(it->second).row;
}

std::vector<const ScanRow*> CPrinterRegistry::FindByAddress(const std::u16string& strAddress) const {
    std::vector<const ScanRow*> aRows;
    const auto [itFirst, itLast] = m_rowsAt.equal_range(strAddress);
    for (auto it = itFirst; it != itLast; ++it) aRows.push_back(&m_rows.at(it->second).row);
    return aRows;
}

size_t CPrinterRegistry::GetCount() const {
    return m_nListed;
}

void CPrinterRegistry::ForEachWatched(const std::function<void(uint64_t, const ScanRow&)>& fn) const {
    for (const auto& [nRow, entry] : m_rows) {
        if (entry.bListed || entry.bForgotten) fn(nRow, entry.row);
    }
}
