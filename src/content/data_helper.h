// DataHelper: clears the cached records of one content category from the store, so that a fresh reply
// can replace them. Each truncation fetches the category's records in the store's default context,
// deletes them one by one and saves the default context to the file (waiting for the write), also
// when there was nothing to delete; with Save::Later the deletions stay unsaved for the caller's save.
//
// Threads: the default context is the main-queue context, so the truncations are called on the main
// thread (the request processor calls them on the main queue); the save blocks until the SQLite file
// has been written.
#pragma once

#include <string>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class DataHelper : public Object {
public:
    // Whether a truncation saves its deletions at once (and waits for the file), or leaves them unsaved
    // in the default context for the caller's next save, so that the deletion and what replaces it
    // reach the file in one transaction.
    enum class Save : bool { AndWait, Later };

    DataHelper();

    // The shared object, made once on first use (from any thread).
    static const Ref<DataHelper>& sharedDataHelper();
    static const Ref<DataHelper>& instance() { return sharedDataHelper(); }

    // Taobao records with "type = %@ AND store = %@".
    void truncateTaobaoWithType(const std::string& type, const std::string& store, Save save = Save::AndWait);
    // Microblog records with "type = %@" (the feed's gap).
    void truncateMicroblogWithType(const std::string& type, Save save = Save::AndWait);
    // Toptenz records with "sid = %@", the site's number from Constants::siteIdMap() read as a decimal
    // number. A site the table does not know has no number: nothing is deleted (the save still runs).
    void truncateToptenWithSite(const std::string& site, Save save = Save::AndWait);
    // News records with "cat_name = %@".
    void truncateNewsWithCategory(const std::string& category, Save save = Save::AndWait);
    // Video records with "type = %@".
    void truncateVideoWithType(const std::string& type, Save save = Save::AndWait);
    // Teleplay records with "type = %@ AND is_end = %@", is_end "yes" when ended, else "no".
    void truncateTVWithType(const std::string& type, bool ended, Save save = Save::AndWait);
    // Every Novel record.
    void truncateNovels(Save save = Save::AndWait);
};

}  // namespace lv
