#pragma once

// A source as the manager mirrors it: a watch folder with its role folders, the file-name
// parsing options, its processor and project, and the default clip metadata.

#include <cstdint>
#include <string>

#include "foundation/kxGUID.h"
#include "foundation/kxXMLUnicode.h"
#include "manager/model/lmModelList.h"
#include "manager/model/lmProcessor.h"
#include "manager/model/lmProject.h"

namespace manager {

class TSource : public TModelObject {
  public:
    static constexpr int32_t WatchFolderType = 0;
    static constexpr int32_t FTPFolderType = 1;
    static constexpr const char* DefaultExtensionFilter =
        "*.mov; *.avi; *.mp4; *.jpg; *.tga; *.png";
    static constexpr int32_t DefaultFrameRateIndex = 3;

    // The engine's processors and projects, through which the references resolve.
    TSource(const TProcessors* processors = nullptr, const TProjects* projects = nullptr)
        : FProcessors(processors), FProjects(projects) {}

    TGUID Uid;
    std::string Name;
    std::string Desc;
    int32_t Prio = 0;
    // The processor and project by uid; null for none. A uid set here names an object of the
    // engine when it was read.
    TGUID ProcessorUid;
    TGUID ProjectUid;
    bool Enabled = true;
    int32_t Type = WatchFolderType;
    std::string WFolder;
    bool UseFNot = false;
    bool UseTmr = false;
    int32_t TmrInt = 0;
    bool UseCh = false;
    int32_t ChTime = 0;
    bool Shaped = false;
    bool ParseId = true;
    bool Underscore = false;
    std::string ExtFilter = DefaultExtensionFilter;
    int32_t Fps = DefaultFrameRateIndex;
    bool MonQueued = false;
    bool MonFailed = false;
    bool ActOnComp = false;
    int32_t CompMode = 0;
    std::string QFolder;
    std::string FFolder;
    std::string CFolder;
    bool UseTemp = false;
    std::string TFolder;
    bool UseCan = false;
    std::string CanFolder;
    bool Looping = false;
    bool HoldLastFrame = false;
    // The location of a source that is not a watch folder; no packet carries it.
    std::string OtherLocation;

    // Reads every field; a processor or project uid the engine does not hold gives none.
    void LoadFromXML(TXMLUnicode& doc);
    // Every field; "procuid" and "projuid" only when set.
    void SaveToXML(TXMLUnicode& doc) const;
    void Assign(const TSource& other);

    TProcessor* Processor() const;
    TProject* Project() const;

    // "Watch Folder", "FTP Folder", or empty for another type.
    std::string TypeText() const;
    // The watch folder, or the other location for an FTP source.
    std::string LocationText() const;
    // The referenced object's name, or "<none>".
    std::string ProcessorText() const;
    std::string ProjectText() const;

  private:
    const TProcessors* FProcessors;
    const TProjects* FProjects;
};

using TSources = TModelList<TSource>;

}  // namespace manager
