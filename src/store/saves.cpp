#include "store/saves.h"

#include "platform/data/errors.h"
#include "platform/dispatch/queue.h"
#include "store/contexts.h"
#include "store/detail/state.h"

namespace lv {

using store_detail::logEnabled;
using store_detail::logMasked;

namespace {

// How a synchronous save chain ended, for the callers that wait for it: the last level reached, and
// whether it saved, had nothing to save, or failed with the error.
struct Outcome {
    bool saved = false;
    Ref<Error> error;
};

void saveLevels(const Ref<ManagedObjectContext>& context, RSSaveOptions options, RSSaveCompletionHandler completion,
                Outcome* outcome);

void complete(const RSSaveCompletionHandler& completion, bool success, Ref<Error> error) {
    if (!completion) return;
    Queue::main()->async([completion, success, error = std::move(error)] { completion(success, error); });
}

// One save of one level; on success with RSSaveOptionParentContexts, the parent's save follows.
// Exceptions thrown inside the save (by observers of the will-save notification, say) become an error:
// the chain stops and the completion reports it; nothing is thrown on from a queue block.
void saveBlock(const Ref<ManagedObjectContext>& context, RSSaveOptions options, const RSSaveCompletionHandler& completion,
               bool saveParents, bool synchronously, Outcome* outcome) {
    if (logEnabled(RSLogMaskInfo)) logMasked(RSLogMaskInfo, "→ Saving %@", RS_description(context));
    logMasked(RSLogMaskVerbose, "→ Save Parents? %@", saveParents ? "YES" : "NO");
    logMasked(RSLogMaskVerbose, "→ Save Synchronously? %@", synchronously ? "YES" : "NO");
    Ref<Error> error;
    bool saved = false;
    try {
        saved = context->save(&error);
    } catch (const Exception& e) {
        if (!e.userInfo().empty()) {
            logMasked(RSLogMaskError, "Unable to perform save: %@", Value(e.userInfo()));
        } else {
            logMasked(RSLogMaskError, "Unable to perform save: %@", e.reason());
        }
        saved = false;
        error = store_detail::errorFromException(kPersistentStoreSaveError, e.reason(), e.userInfo());
    } catch (const std::exception& e) {
        logMasked(RSLogMaskError, "Unable to perform save: %@", e.what());
        saved = false;
        error = store_detail::errorFromException(kPersistentStoreSaveError, e.what());
    } catch (...) {
        logMasked(RSLogMaskError, "Unable to perform save: %@", "Unknown exception");
        saved = false;
        error = store_detail::errorFromException(kPersistentStoreSaveError, "Unknown exception");
    }
    RecordStack::handleErrors(error);
    Ref<ManagedObjectContext> parent = context->parentContext();
    if (saved && saveParents && parent) {
        const RSSaveOptions next = synchronously ? (options | RSSaveOptionSynchronously) : (options & ~RSSaveOptionSynchronously);
        saveLevels(parent, next, completion, synchronously ? outcome : nullptr);
        return;
    }
    if (saved && logEnabled(RSLogMaskVerbose)) logMasked(RSLogMaskVerbose, "→ Finished saving: %@", RS_description(context));
    if (outcome) {
        outcome->saved = saved;
        outcome->error = error;
    }
    complete(completion, saved, error);
}

void saveLevels(const Ref<ManagedObjectContext>& context, RSSaveOptions options, RSSaveCompletionHandler completion,
                Outcome* outcome) {
    if (!context) return;
    bool hasChanges = false;
    std::string name;
    context->performAndWait([&] {
        hasChanges = context->hasChanges();
        if (!hasChanges && logEnabled(RSLogMaskVerbose)) name = RS_workingName(context);
    });
    if (!hasChanges) {
        logMasked(RSLogMaskVerbose, "NO CHANGES IN ** %@ ** CONTEXT - NOT SAVING", name);
        if (outcome) outcome->saved = true;  // nothing to write is no failure
        complete(completion, false, nullptr);
        return;
    }
    const bool saveParents = (options & RSSaveOptionParentContexts) != 0;
    const bool exceptRoot = (options & RSSaveOptionSynchronouslyExceptRoot) != 0;
    const bool synchronously =
        ((options & RSSaveOptionSynchronously) != 0 && !exceptRoot) || (exceptRoot && context != RS_rootSavingContext());
    if (synchronously) {
        context->performAndWait([&] { saveBlock(context, options, completion, saveParents, true, outcome); });
    } else {
        context->perform(
            [context, options, completion, saveParents] { saveBlock(context, options, completion, saveParents, false, nullptr); });
    }
}

}  // namespace

void RS_saveWithOptions(const Ref<ManagedObjectContext>& context, RSSaveOptions options, RSSaveCompletionHandler completion) {
    saveLevels(context, options, std::move(completion), nullptr);
}

void RS_saveOnlySelfWithCompletion(const Ref<ManagedObjectContext>& context, RSSaveCompletionHandler completion) {
    RS_saveWithOptions(context, 0, std::move(completion));
}

void RS_saveOnlySelfAndWait(const Ref<ManagedObjectContext>& context) { RS_saveWithOptions(context, RSSaveOptionSynchronously); }

void RS_saveToPersistentStoreWithCompletion(const Ref<ManagedObjectContext>& context, RSSaveCompletionHandler completion) {
    RS_saveWithOptions(context, RSSaveOptionParentContexts, std::move(completion));
}

void RS_saveToPersistentStoreAndWait(const Ref<ManagedObjectContext>& context) {
    RS_saveWithOptions(context, RSSaveOptionParentContexts | RSSaveOptionSynchronously);
}

bool RS_saveToPersistentStoreAndWait(const Ref<ManagedObjectContext>& context, Ref<Error>* error) {
    if (!context) return true;
    Outcome outcome;
    saveLevels(context, RSSaveOptionParentContexts | RSSaveOptionSynchronously, nullptr, &outcome);
    if (!outcome.saved) setError(error, outcome.error);
    return outcome.saved;
}

// ---- older forms ----

namespace {

// Success runs the completion (when given); anything else gives the error to the handler (when given).
RSSaveCompletionHandler splitCompletion(RSErrorCallback errorHandler, std::function<void()> completion) {
    return [errorHandler = std::move(errorHandler), completion = std::move(completion)](bool success, const Ref<Error>& error) {
        if (success) {
            if (completion) completion();
        } else if (errorHandler) {
            errorHandler(error);
        }
    };
}

}  // namespace

void RS_save(const Ref<ManagedObjectContext>& context) { RS_saveToPersistentStoreAndWait(context); }

void RS_saveWithErrorCallback(const Ref<ManagedObjectContext>& context, RSErrorCallback errorCallback) {
    RS_saveWithOptions(context, RSSaveOptionParentContexts | RSSaveOptionSynchronously, splitCompletion(std::move(errorCallback), nullptr));
}

void RS_saveInBackgroundCompletion(const Ref<ManagedObjectContext>& context, std::function<void()> completion) {
    RS_saveOnlySelfWithCompletion(context, splitCompletion(nullptr, std::move(completion)));
}

void RS_saveInBackgroundErrorHandler(const Ref<ManagedObjectContext>& context, RSErrorCallback errorHandler) {
    RS_saveOnlySelfWithCompletion(context, splitCompletion(std::move(errorHandler), nullptr));
}

void RS_saveInBackgroundErrorHandler(const Ref<ManagedObjectContext>& context, RSErrorCallback errorHandler,
                                     std::function<void()> completion) {
    RS_saveOnlySelfWithCompletion(context, splitCompletion(std::move(errorHandler), std::move(completion)));
}

void RS_saveNestedContexts(const Ref<ManagedObjectContext>& context) { RS_saveToPersistentStoreWithCompletion(context, nullptr); }

void RS_saveNestedContextsErrorHandler(const Ref<ManagedObjectContext>& context, RSErrorCallback errorHandler) {
    RS_saveToPersistentStoreWithCompletion(context, splitCompletion(std::move(errorHandler), nullptr));
}

void RS_saveNestedContextsErrorHandler(const Ref<ManagedObjectContext>& context, RSErrorCallback errorHandler,
                                       std::function<void()> completion) {
    RS_saveToPersistentStoreWithCompletion(context, splitCompletion(std::move(errorHandler), std::move(completion)));
}

// ---- block helpers ----

namespace {

// On the context's queue (synchronously or not): the working name, the caller's block, then the save.
void runAndSave(const Ref<ManagedObjectContext>& context, std::string_view workingName, const RSSaveBlock& block, bool wait,
                std::function<void(const Ref<ManagedObjectContext>&)> save) {
    if (!context) return;
    auto work = [context, name = std::string(workingName), block, save = std::move(save)] {
        RS_setWorkingName(context, name);
        if (block) block(context);
        save(context);
    };
    if (wait) {
        context->performAndWait(work);
    } else {
        context->perform(std::move(work));
    }
}

void saveWithParentsAndCompletion(const Ref<ManagedObjectContext>& context, std::string_view workingName, const RSSaveBlock& block,
                                  RSSaveCompletionHandler completion) {
    runAndSave(context, workingName, block, false, [completion = std::move(completion)](const Ref<ManagedObjectContext>& c) {
        RS_saveWithOptions(c, RSSaveOptionParentContexts, completion);
    });
}

void saveWithParentsAndWait(const Ref<ManagedObjectContext>& context, std::string_view workingName, const RSSaveBlock& block) {
    runAndSave(context, workingName, block, true, [](const Ref<ManagedObjectContext>& c) {
        RS_saveWithOptions(c, RSSaveOptionParentContexts | RSSaveOptionSynchronously);
    });
}

}  // namespace

void RS_saveWithBlock(const Ref<ManagedObjectContext>& context, RSSaveBlock block) { RS_saveWithBlock(context, std::move(block), nullptr); }

void RS_saveWithBlock(const Ref<ManagedObjectContext>& context, RSSaveBlock block, RSSaveCompletionHandler completion) {
    if (!context) return;
    saveWithParentsAndCompletion(RS_contextWithParent(context), "RS_saveWithBlock:completion:", block, std::move(completion));
}

void RS_saveWithBlockAndWait(const Ref<ManagedObjectContext>& context, RSSaveBlock block) {
    if (!context) return;
    saveWithParentsAndWait(RS_contextWithParent(context), "RS_saveWithBlockAndWait:", block);
}

void RecordStack::saveWithBlock(RSSaveBlock block) { saveWithBlock(std::move(block), nullptr); }

void RecordStack::saveWithBlock(RSSaveBlock block, RSSaveCompletionHandler completion) {
    saveWithParentsAndCompletion(RS_contextWithParent(RS_rootSavingContext()), "saveWithBlock:completion:", block, std::move(completion));
}

void RecordStack::saveWithBlockAndWait(RSSaveBlock block) {
    saveWithParentsAndWait(RS_contextWithParent(RS_rootSavingContext()), "saveWithBlockAndWait:", block);
}

void RecordStack::saveUsingCurrentThreadContextWithBlock(RSSaveBlock block, RSSaveCompletionHandler completion) {
    saveWithParentsAndCompletion(RS_contextForCurrentThread(), "saveUsingCurrentThreadContextWithBlock:completion:", block,
                                 std::move(completion));
}

void RecordStack::saveUsingCurrentThreadContextWithBlockAndWait(RSSaveBlock block) {
    saveWithParentsAndWait(RS_contextForCurrentThread(), "saveUsingCurrentThreadContextWithBlockAndWait:", block);
}

void RecordStack::saveInBackgroundWithBlock(RSSaveBlock block) { saveWithBlock(std::move(block), nullptr); }

void RecordStack::saveInBackgroundWithBlock(RSSaveBlock block, std::function<void()> completion) {
    runAndSave(RS_contextWithParent(RS_rootSavingContext()), "saveInBackgroundWithBlock:completion:", block, false,
               [completion = std::move(completion)](const Ref<ManagedObjectContext>& c) {
                   RS_saveToPersistentStoreAndWait(c);
                   if (completion) completion();  // on the child's queue
               });
}

void RecordStack::saveInBackgroundUsingCurrentContextWithBlock(RSSaveBlock block, std::function<void()> completion,
                                                               std::function<void(const Ref<Error>&)> errorHandler) {
    runAndSave(RS_contextForCurrentThread(), "saveInBackgroundUsingCurrentContextWithBlock:completion:errorHandler:", block, false,
               [handler = splitCompletion(std::move(errorHandler), std::move(completion))](const Ref<ManagedObjectContext>& c) {
                   RS_saveToPersistentStoreWithCompletion(c, handler);
               });
}

}  // namespace lv
