#pragma once
// The wire protocol between Vellora's HTTP cloud client and vellora-cloud:
// JSON over HTTP. Both sides spell every path, record type, field name and
// error code from here, so that neither can drift from the other.
//
// Requests carry "Authorization: Bearer <token>". Every call but /v1/me and
// /v1/events is a POST with a JSON object body (/v1/assets: the file's bytes).
// A refusal answers {"error": <code>, "message": <text>} with an HTTP status
// that follows the code (httpStatusFor below).

#include <QLatin1String>

namespace cloudprotocol {

// ---------------------------------------------------------------- paths
inline constexpr QLatin1String kPathMe("/v1/me");                       // GET -> {user}
inline constexpr QLatin1String kPathEvents("/v1/events");               // GET, text/event-stream
inline constexpr QLatin1String kPathAssets("/v1/assets");               // POST bytes -> {hash, size}
inline constexpr QLatin1String kPathSubscriptions("/v1/subscriptions"); // {id, scope}
inline constexpr QLatin1String kPathShareMetadata("/v1/shares/metadata");
inline constexpr QLatin1String kPathShareAccept("/v1/shares/accept");
inline constexpr QLatin1String kPathPrivate("/v1/private/");            // + one of the calls below
inline constexpr QLatin1String kPathShared("/v1/shared/");
inline constexpr QLatin1String kCallZoneSave("zones/save");             // {zone, owner}
inline constexpr QLatin1String kCallZoneDelete("zones/delete");         // {zone, owner}
inline constexpr QLatin1String kCallLookup("records/lookup");           // {zone, owner, name} -> record
inline constexpr QLatin1String kCallModify("records/modify");           // {zone, owner, save, delete, policy, atomic}
inline constexpr QLatin1String kCallChanges("changes");                 // {zone, owner, token} -> {changed, deleted, token, moreComing}
inline constexpr QLatin1String kCallAssetFetch("assets/fetch");         // {zone, owner, hash} -> bytes
inline constexpr QLatin1String kPathSharePage("/share/");               // + share token: the invitation address

// The event that tells a client to fetch changes; other events (comments
// among them, which keep the stream alive) are ignored.
inline constexpr char kEventChanged[] = "event: changed";

// ---------------------------------------------------------------- record types
inline constexpr QLatin1String kTypeCollection("Collection");
inline constexpr QLatin1String kTypeItem("Item");
// The share record: made and changed only by the zone's owner.
inline constexpr QLatin1String kTypeShare("cloudkit.share");
// The client's name for "the user asking" as a zone owner.
inline constexpr QLatin1String kDefaultOwner("__defaultOwner__");

// ---------------------------------------------------------------- fields
// Request bodies.
inline constexpr QLatin1String kZone("zone");
inline constexpr QLatin1String kOwner("owner");
inline constexpr QLatin1String kSave("save");
inline constexpr QLatin1String kDelete("delete");
inline constexpr QLatin1String kPolicy("policy");
inline constexpr QLatin1String kAtomic("atomic");
inline constexpr QLatin1String kToken("token");
inline constexpr QLatin1String kHash("hash");
inline constexpr QLatin1String kSize("size");
inline constexpr QLatin1String kId("id");
inline constexpr QLatin1String kScope("scope");
inline constexpr QLatin1String kScopePrivate("private");
inline constexpr QLatin1String kScopeShared("shared");
// Save policies.
inline constexpr QLatin1String kPolicyIfServerRecordUnchanged("ifServerRecordUnchanged");
inline constexpr QLatin1String kPolicyChangedKeys("changedKeys");
inline constexpr QLatin1String kPolicyAllKeys("allKeys");
// A record.
inline constexpr QLatin1String kType("type");
inline constexpr QLatin1String kName("name");
inline constexpr QLatin1String kParent("parent");
inline constexpr QLatin1String kFields("fields");
inline constexpr QLatin1String kAssets("assets");
inline constexpr QLatin1String kChangeTag("changeTag");
// Fields of the share record and of the root record it is rooted at.
inline constexpr QLatin1String kRootRecord("rootRecord");
inline constexpr QLatin1String kTitle("title");
inline constexpr QLatin1String kPublicPermission("publicPermission");
inline constexpr QLatin1String kParticipants("participants");
inline constexpr QLatin1String kUrl("url");
inline constexpr QLatin1String kShare("share");
inline constexpr QLatin1String kUser("user");
inline constexpr QLatin1String kPermission("permission");
inline constexpr QLatin1String kAccepted("accepted");
inline constexpr QLatin1String kPermissionNone("none");
inline constexpr QLatin1String kPermissionReadOnly("readOnly");
inline constexpr QLatin1String kPermissionReadWrite("readWrite");
// Answers.
inline constexpr QLatin1String kSaved("saved");
inline constexpr QLatin1String kDeleted("deleted");
inline constexpr QLatin1String kFailed("failed");
inline constexpr QLatin1String kChanged("changed");
inline constexpr QLatin1String kMoreComing("moreComing");
inline constexpr QLatin1String kError("error");
inline constexpr QLatin1String kMessage("message");
inline constexpr QLatin1String kPerRecord("perRecord");
inline constexpr QLatin1String kServerRecord("serverRecord");
inline constexpr QLatin1String kZoneId("zoneId"); // in what a share address tells

// ---------------------------------------------------------------- error codes
enum ErrorCode : int {
    ErrorInternal = 1,
    ErrorPartialFailure = 2,
    ErrorNotAuthenticated = 9,
    ErrorPermissionFailure = 10,
    ErrorUnknownItem = 11,
    ErrorInvalidArguments = 12,
    ErrorServerRecordChanged = 14,
    ErrorChangeTokenExpired = 21,
    // Per record of an atomic save that was not saved because another record
    // of the same save failed.
    ErrorBatchRequestFailed = 22,
    ErrorZoneNotFound = 26,
    ErrorLimitExceeded = 27,
    ErrorUserDeletedZone = 28,
};

constexpr int httpStatusFor(int code)
{
    switch (code) {
    case ErrorNotAuthenticated: return 401;
    case ErrorPermissionFailure: return 403;
    case ErrorUnknownItem:
    case ErrorZoneNotFound:
    case ErrorUserDeletedZone: return 404;
    case ErrorInvalidArguments: return 400;
    case ErrorServerRecordChanged:
    case ErrorPartialFailure: return 409;
    case ErrorChangeTokenExpired: return 410;
    case ErrorLimitExceeded: return 413;
    default: return 500;
    }
}

} // namespace cloudprotocol
