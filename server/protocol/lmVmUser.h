#pragma once

// A person told about finished and failed clips: a name and an e-mail address with a few
// descriptive fields. Users are not accounts; they carry no password and no rights.

#include <mutex>
#include <string>

#include "server/core/lmVmCollection.h"

class TVmUsers;

struct TVmUserSettings {
    TGUID Uid;
    std::string Name;
    std::string Desc;
    std::string Email;
    std::string Loc;
    std::string Phone;

    friend bool operator==(const TVmUserSettings&, const TVmUserSettings&) = default;
};

// The settings of a user are guarded by the user's own lock: mail sending reads them on other
// threads while the control server may change them.
class TVmUser : public TVmGuardedSettings<TVmUserSettings> {
  public:
    TVmUser(TVmUsers* Owner, bool NewIdentity);
    TVmUser(const TVmUser&) = delete;
    TVmUser& operator=(const TVmUser&) = delete;

    TGUID Uid() const;
    std::string Name() const;
    std::string Desc() const;
    std::string Email() const;
    std::string Loc() const;
    std::string Phone() const;
    void SetUid(const TGUID& Value);
    void SetName(std::string Value);
    void SetDesc(std::string Value);
    void SetEmail(std::string Value);
    void SetLoc(std::string Value);
    void SetPhone(std::string Value);

    // The collection the user belongs to; none once removed from it.
    TVmUsers* Owner() const;
    void SetOwner(TVmUsers* Value);

    // "uid", "name", "email", "loc", "desc", "phone" below the current element.
    void SaveToXML(TXMLUnicode& Doc) const;
    // Reads all six by name; a missing one becomes empty (the uid all zero).
    void LoadFromXML(TXMLUnicode& Doc);

  private:
    // Guarded by FLock with the settings.
    TVmUsers* FOwner;
};

// The engine's users, saved as "user" elements; new ones are named "New User " + N.
class TVmUsers : public TVmCollection<TVmUser> {
  public:
    TVmUsers();
    ~TVmUsers() override;

  protected:
    TItemPtr CreateItem(bool NewIdentity) override;
    void Detached(TVmUser& Item) override;
};

using TUser = TVmUser;
using TUsers = TVmUsers;
