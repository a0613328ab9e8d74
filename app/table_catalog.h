// The window's input list over the shared input table, with the few
// per-entry values only project files keep.
#pragma once

#include <functional>
#include <map>

#include "app/services.h"
#include "engine/host.h"
#include "input/conversion_start.h"
#include "input/frame_delivery.h"
#include "input/input_table.h"

namespace quillon::app {

class TableCatalog : public InputCatalog {
public:
    explicit TableCatalog(Host& host) : host_(host) {}

    InputTable& table() { return table_; }
    // Pending events and the stop flag of a running conversion (the frame
    // and sample callbacks ask it), and where their failures go.
    void setPump(std::function<bool()> pump) { pump_ = std::move(pump); }
    // Ends the running conversion unfinished after a broken frame or sound block.
    void setAbort(std::function<void()> abort) { abort_ = std::move(abort); }
    // Called before each output's request is sent (the engine's per-output
    // settings, such as the generic MPEG-1 pel shape).
    void setBeforeOutput(std::function<void(const PlannedOutput&)> hook) { beforeOutput_ = std::move(hook); }

    int count() const override { return table_.count(); }
    int selected() const override { return table_.selected(); }
    void select(int index) override { table_.select(index); }
    bool open(const std::string& path) override;
    void remove(int index) override;
    bool moveUp(int index) override { return table_.moveUp(index); }
    bool moveDown(int index) override { return table_.moveDown(index); }
    void clear() override;

    EntryFacts facts(int index) const override;
    ProjectEntry record(int index) const override;
    void restore(int index, const ProjectEntry& saved) override;
    void setInvert(int index, bool on) override { table_.entry(index).invert = on; }
    void setFillIn(int index, bool on) override { table_.entry(index).fillIn = on; }
    void setOutputName(int index, const std::string& name) override {
        table_.entry(index).outputName = name;
    }
    void setOutputSize(int index, int width, int height) override;
    void setCurrentFrame(int index, int frame) override { table_.entry(index).currentFrame = frame; }
    int currentFrame(int index) const override { return table_.entry(index).currentFrame; }

    std::vector<std::string> decoders(int index) const override;
    std::string describe(int index) const override;
    bool sourcePicture(int index, int frame, TBaseDib& out) override;
    bool outputPicture(int index, int frame, const ConversionPlan& plan, TBaseDib& out) override;
    ConversionOutcome convert(const ConversionPlan& plan,
                              const std::function<int(const ConversionRequest&)>& send) override;

private:
    // Values of a project record the table has no field for, kept as read.
    struct Extras {
        uint8_t optionFlag = 0;
        int32_t selection980 = 0, selection984 = 0, selection996 = 0;
        int32_t previewFirst = 0, previewLast = 0;
        int32_t firstSelectedSample = 0;
    };
    DeliveryHooks hooks();

    Host& host_;
    InputTable table_;
    std::map<const InputFileEntry*, Extras> extras_;
    std::function<bool()> pump_;
    std::function<void()> abort_;
    std::function<void(const PlannedOutput&)> beforeOutput_;
};

}  // namespace quillon::app
