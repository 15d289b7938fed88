// The contacts: the lookup of a caller's name, and the contacts table read
// and changed on the history's own connection.
#include "history/contacts.h"

#include <sqlite3.h>

#include <algorithm>

#include "history/call_history.h"
#include "history/call_history_impl.h"
#include "history/phone_number.h"
#include "history/salvage.h"

namespace dialscope::history {

ContactBook::ContactBook(std::vector<Contact> contacts) : contacts_(std::move(contacts)) {
    // Of several contacts for one line, the one updated last names it.
    auto better = [&](size_t a, size_t b) {
        if (contacts_[a].updatedAt != contacts_[b].updatedAt) return contacts_[a].updatedAt > contacts_[b].updatedAt;
        return contacts_[a].number < contacts_[b].number;
    };
    for (size_t i = 0; i < contacts_.size(); ++i) {
        const std::string& number = contacts_[i].number;
        exact_[number] = i;
        const std::string key = CrossKey(number);
        if (key.empty()) continue;
        auto& side = number[0] == '+' ? international_ : national_;
        auto [at, fresh] = side.emplace(key, i);
        if (!fresh && better(i, at->second)) at->second = i;
    }
}

std::optional<std::string> ContactBook::NameOf(const std::string& number) const {
    if (auto at = exact_.find(number); at != exact_.end()) return contacts_[at->second].name;
    const std::string key = CrossKey(number);
    if (key.empty()) return std::nullopt;
    const auto& other = number[0] == '+' ? national_ : international_;
    if (auto at = other.find(key); at != other.end()) return contacts_[at->second].name;
    return std::nullopt;
}

std::optional<std::string> ContactBook::NameOfCaller(std::string_view text) const {
    if (contacts_.empty()) return std::nullopt;
    const auto number = CallerNumber(text);
    return number ? NameOf(*number) : std::nullopt;
}

const ContactBook& CallHistory::Impl::Book() {
    int64_t dataVersion = -1;
    FollowWriter();
    if (db) QueryInt(db, "PRAGMA data_version", &dataVersion);
    if (book && dataVersion == bookVersion) return *book;
    std::vector<Contact> all;
    // A history from before contacts (only read) has none; one that cannot
    // be read names nobody, and its listing says why.
    if (db && version >= 3) {
        Statement st(db, "SELECT number, name, source, updated FROM contacts");
        while (st.ok() && st.Step() == SQLITE_ROW) {
            auto text = [&](int col) {
                const auto* p = sqlite3_column_text(st.get(), col);
                return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
            };
            all.push_back({text(0), text(1), text(2), sqlite3_column_int64(st.get(), 3)});
        }
    }
    book.emplace(std::move(all));
    bookVersion = dataVersion;
    return *book;
}

void CallHistory::Impl::Name(std::vector<StoredCall>& calls) {
    if (calls.empty()) return;
    const ContactBook& names = Book();
    for (StoredCall& call : calls) call.name = names.NameOfCaller(call.fields.text);
}

void CallHistory::NameCalls(std::vector<StoredCall>* calls) { impl_->Name(*calls); }

std::vector<Contact> CallHistory::Contacts(std::string* problem) {
    Impl& m = *impl_;
    if (problem) problem->clear();
    m.FollowWriter();
    if (!m.db) {
        if (problem) *problem = m.unreadable.empty() ? "The call history " + m.path + " cannot be read." : m.unreadable;
        return {};
    }
    if (m.version < 3) return {};
    std::vector<Contact> all;
    Statement st(m.db, "SELECT number, name, source, updated FROM contacts ORDER BY name COLLATE NOCASE, number");
    int rc = st.ok() ? SQLITE_ROW : sqlite3_extended_errcode(m.db);
    while (st.ok() && (rc = st.Step()) == SQLITE_ROW) {
        auto text = [&](int col) {
            const auto* p = sqlite3_column_text(st.get(), col);
            return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
        };
        all.push_back({text(0), text(1), text(2), sqlite3_column_int64(st.get(), 3)});
    }
    if (rc != SQLITE_DONE && problem) *problem = m.SqliteProblem(rc, "read");
    return all;
}

bool CallHistory::ChangeContacts(const std::vector<Contact>& put, const std::vector<std::string>& remove,
                                 ContactChanges* changes, std::string* problem, const std::function<void()>& waiting,
                                 int patienceMs) {
    Impl& m = *impl_;
    *changes = {};
    problem->clear();
    m.Settle(true);
    const std::string nothing = " Nothing was changed.";
    if (m.state == Impl::State::Damaged) {
        *problem = "The call history " + m.path + " is damaged (" +
                   (m.damage.empty() ? std::string("its tables") : m.damage.front()) + ")." + nothing + " " +
                   DamageAdvice(m.path);
        return false;
    }
    if (!m.CanWrite()) {
        *problem = "The call history " + m.path +
                   " cannot be written (the file or its folder is read-only for this user)." + nothing;
        return false;
    }
    // A writer holds the file for milliseconds at a time; one that holds
    // it longer (taking in a pending file, removing old calls) is waited
    // for, and the user told.
    constexpr int kQuietMs = 1000;
    sqlite3_busy_timeout(m.db, std::min(kQuietMs, patienceMs));
    int rc = Exec(m.db, "BEGIN IMMEDIATE");
    if ((rc & 0xFF) == SQLITE_BUSY && patienceMs > kQuietMs) {
        if (waiting) waiting();
        sqlite3_busy_timeout(m.db, patienceMs - kQuietMs);
        rc = Exec(m.db, "BEGIN IMMEDIATE");
    }
    sqlite3_busy_timeout(m.db, m.options.busyTimeoutMs);
    if ((rc & 0xFF) == SQLITE_BUSY) {
        *problem = "The call history " + m.path + " stayed locked by another program for " +
                   std::to_string((patienceMs + 999) / 1000) + " s." + nothing + " Try again later.";
        return false;
    }
    if (rc != SQLITE_OK) {
        *problem = m.SqliteProblem(rc, "written") + nothing;
        return false;
    }
    auto fail = [&] {
        *problem = m.SqliteProblem(sqlite3_extended_errcode(m.db), "written") + nothing;
        Exec(m.db, "ROLLBACK");
        *changes = {};
        return false;
    };
    Statement find(m.db, "SELECT name, source FROM contacts WHERE number = ?");
    Statement upsert(m.db,
                     "INSERT INTO contacts(number, name, source, updated) VALUES (?, ?, ?, ?) "
                     "ON CONFLICT(number) DO UPDATE SET name = excluded.name, source = excluded.source, "
                     "updated = excluded.updated");
    Statement erase(m.db, "DELETE FROM contacts WHERE number = ?");
    if (!find.ok() || !upsert.ok() || !erase.ok()) return fail();
    for (const Contact& c : put) {
        sqlite3_reset(find.get());
        find.Bind(1, c.number);
        const int found = find.Step();
        if (found != SQLITE_ROW && found != SQLITE_DONE) return fail();
        if (found == SQLITE_ROW) {
            const auto* name = sqlite3_column_text(find.get(), 0);
            const auto* source = sqlite3_column_text(find.get(), 1);
            if (name && c.name == reinterpret_cast<const char*>(name) && source &&
                c.source == reinterpret_cast<const char*>(source)) {
                ++changes->unchanged;
                continue;
            }
        }
        ++(found == SQLITE_ROW ? changes->updated : changes->added);
        sqlite3_reset(upsert.get());
        upsert.Bind(1, c.number);
        upsert.Bind(2, c.name);
        upsert.Bind(3, c.source);
        upsert.Bind(4, c.updatedAt ? c.updatedAt : m.Now());
        if (upsert.Step() != SQLITE_DONE) return fail();
    }
    for (const std::string& number : remove) {
        sqlite3_reset(erase.get());
        erase.Bind(1, number);
        if (erase.Step() != SQLITE_DONE) return fail();
        changes->removed += sqlite3_changes(m.db);
    }
    if (Exec(m.db, "COMMIT") != SQLITE_OK) return fail();
    m.book.reset();
    return true;
}

}  // namespace dialscope::history
