#include "content/data_helper.h"

#include <optional>

#include "content/constants.h"
#include "content/content_records.h"
#include "platform/base/log.h"
#include "platform/data/predicate.h"
#include "store/contexts.h"
#include "store/records.h"
#include "store/saves.h"

namespace lv {

namespace {

Ref<Predicate> predicate(std::string_view format, const std::vector<Value>& arguments) {
    Ref<Error> error;
    Ref<Predicate> p = Predicate::parse(format, arguments, &error);
    if (p) return p;
    // Never meant to happen (the formats are fixed); select nothing rather than everything.
    log("DataHelper: cannot build the predicate \"%@\": %@", format, error);
    return Predicate::falsePredicate();
}

// Fetches the records of T's entity that match the predicate (every record when there is none) in the
// default context, deletes each of them there, and saves the default context to the store, waiting
// for the file to be written; the save runs also when nothing was deleted. The deletion needs the
// records, not their values: they are fetched by key (a record the context does not hold yet comes as
// a fault, whose values load if something reads them) and deleted as the fetch registered them.
template <class T>
void truncateRecords(const Ref<Predicate>& matching, DataHelper::Save save) {
    const Ref<ManagedObjectContext> context = RS_defaultContext();
    if (!context) return;  // no store set up: no cache to clear
    Ref<FetchRequest> request =
        matching ? T::RS_requestAllWithPredicate(matching, context) : T::RS_requestAllInContext(context);
    request->setIncludesPropertyValues(false);
    std::optional<Array> found = T::RS_executeFetchRequest(request, context);
    if (found && !found->empty()) {
        context->performAndWait([&] {
            for (const Value& record : *found) {
                if (auto object = ManagedObject::fromValue(record)) context->deleteObject(object);
            }
        });
    }
    if (save == DataHelper::Save::AndWait) RS_saveToPersistentStoreAndWait(context);
}

}  // namespace

DataHelper::DataHelper() {
    registerContentRecordClasses();
}

const Ref<DataHelper>& DataHelper::sharedDataHelper() {
    static const Ref<DataHelper>& shared = *new Ref<DataHelper>(makeRef<DataHelper>());  // never destroyed
    return shared;
}

void DataHelper::truncateTaobaoWithType(const std::string& type, const std::string& store, Save save) {
    truncateRecords<Taobao>(predicate("type = %@ AND store = %@", {Value(type), Value(store)}), save);
}

void DataHelper::truncateMicroblogWithType(const std::string& type, Save save) {
    truncateRecords<Microblog>(predicate("type = %@", {Value(type)}), save);
}

void DataHelper::truncateToptenWithSite(const std::string& site, Save save) {
    const Value number = Constants::siteIdMap().get(site);
    if (!number.isString()) {
        // A site without a number selects no records; the category's cache stays as it is.
        log("DataHelper: no chart site named \"%@\"; nothing to delete", site);
        truncateRecords<Toptenz>(Predicate::falsePredicate(), save);
        return;
    }
    truncateRecords<Toptenz>(predicate("sid = %@", {Value(Decimal::fromString(number.string()))}), save);
}

void DataHelper::truncateNewsWithCategory(const std::string& category, Save save) {
    truncateRecords<News>(predicate("cat_name = %@", {Value(category)}), save);
}

void DataHelper::truncateVideoWithType(const std::string& type, Save save) {
    truncateRecords<Video>(predicate("type = %@", {Value(type)}), save);
}

void DataHelper::truncateTVWithType(const std::string& type, bool ended, Save save) {
    truncateRecords<Teleplay>(predicate("type = %@ AND is_end = %@", {Value(type), Value(ended ? "yes" : "no")}), save);
}

void DataHelper::truncateNovels(Save save) {
    truncateRecords<Novel>(nullptr, save);
}

}  // namespace lv
