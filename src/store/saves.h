// Saves: a context's changes go into its parent and, on request, up the parent chain to the root saving
// context, whose save writes the SQLite file. RS_saveWithOptions decides everything; the other calls
// pick options and a context.
//
// Options (record_stack.h): RSSaveOptionParentContexts saves the parent after a successful save, and so
// on up the chain; RSSaveOptionSynchronously runs each save on the context's queue while the caller
// waits; RSSaveOptionSynchronouslyExceptRoot does so at every level but the root. The completion runs
// exactly once per call, asynchronously on the main queue (never inside the call): (true, nil) after
// the last level saved, (false, error) at the first failure, (false, nil) at the first level without
// changes. A failure is also handed to RecordStack::handleErrors; an exception thrown during a save
// becomes an error (Cocoa 134030 with its reason).
#pragma once

#include <functional>

#include "platform/base/error.h"
#include "platform/data/context.h"
#include "store/record_stack.h"

namespace lv {

void RS_saveWithOptions(const Ref<ManagedObjectContext>& context, RSSaveOptions options,
                        RSSaveCompletionHandler completion = nullptr);
void RS_saveOnlySelfWithCompletion(const Ref<ManagedObjectContext>& context, RSSaveCompletionHandler completion);
void RS_saveOnlySelfAndWait(const Ref<ManagedObjectContext>& context);
void RS_saveToPersistentStoreWithCompletion(const Ref<ManagedObjectContext>& context, RSSaveCompletionHandler completion);
// Saves every level up to the root synchronously: returns once the file is written (or the first level
// failed or had nothing to save).
void RS_saveToPersistentStoreAndWait(const Ref<ManagedObjectContext>& context);
// The same, telling the caller how it went: true when every level saved or there was nothing to save;
// false with the error of the level that failed (that level and those above it keep their changes).
bool RS_saveToPersistentStoreAndWait(const Ref<ManagedObjectContext>& context, Ref<Error>* error);

// Older forms.
using RSErrorCallback = std::function<void(const Ref<Error>& error)>;
void RS_save(const Ref<ManagedObjectContext>& context);  // RS_saveToPersistentStoreAndWait
// Saves to the store and waits; the callback gets the error when the save did not succeed.
void RS_saveWithErrorCallback(const Ref<ManagedObjectContext>& context, RSErrorCallback errorCallback);
// Saves only the context; the block runs after a success.
void RS_saveInBackgroundCompletion(const Ref<ManagedObjectContext>& context, std::function<void()> completion);
// Saves only the context; the handler gets the error when the save did not succeed.
void RS_saveInBackgroundErrorHandler(const Ref<ManagedObjectContext>& context, RSErrorCallback errorHandler);
// Saves only the context; the completion after a success, the handler when the save did not succeed.
void RS_saveInBackgroundErrorHandler(const Ref<ManagedObjectContext>& context, RSErrorCallback errorHandler,
                                     std::function<void()> completion);
void RS_saveNestedContexts(const Ref<ManagedObjectContext>& context);  // to the store, no completion
void RS_saveNestedContextsErrorHandler(const Ref<ManagedObjectContext>& context, RSErrorCallback errorHandler);
void RS_saveNestedContextsErrorHandler(const Ref<ManagedObjectContext>& context, RSErrorCallback errorHandler,
                                       std::function<void()> completion);

// Block helpers: a new child of the context; on the child's queue its working name (the helper's
// name), the block, then a save with its parents.
void RS_saveWithBlock(const Ref<ManagedObjectContext>& context, RSSaveBlock block);
void RS_saveWithBlock(const Ref<ManagedObjectContext>& context, RSSaveBlock block, RSSaveCompletionHandler completion);
void RS_saveWithBlockAndWait(const Ref<ManagedObjectContext>& context, RSSaveBlock block);

}  // namespace lv
