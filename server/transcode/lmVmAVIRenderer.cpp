#include "server/transcode/lmVmAVIRenderer.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>

#include "foundation/lmVmVideoModes.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/media/lmAVIMultiplexer.h"
#include "server/media/lmAudioVideoFramePusher.h"
#include "server/media/lmCompressorRegistry.h"
#include "server/media/lmMediaTypes.h"
#include "server/media/lmOpenDMLPatcher.h"

bool TTaskItemRenderTask::CancelRequested() const {
    return FTask.CancelRequested();
}

void TTaskItemRenderTask::SetProgress(float percent) {
    FTask.SetProgress(percent);
}

TAVIRenderer::TAVIRenderer(IAVIRenderTask* task, IAVIRenderClip& clip, TAVIRenderSettings settings)
    : TkxThread("AVIRenderer"), FTask(task), FClip(clip), FSettings(std::move(settings)) {}

TAVIRenderer::~TAVIRenderer() {
    WaitFor();
}

std::string TAVIRenderer::FailureReason() const {
    TLock lock(FReasonLock);
    return FReason;
}

void TAVIRenderer::Fail(const std::string& reason) {
    {
        TLock lock(FReasonLock);
        if (FReason.empty()) {
            FReason = reason;
        }
    }
    FFailed.store(true);
    FDoneEvent.Set();
    FAudioEvent.Set();
}

void TAVIRenderer::Execute() {
    try {
        const TVideoMediaType videoType = MakeVideoMediaType(
            FClip.Width(), FClip.Height(), FClip.BitDepth(), FClip.FrameRateIndex());
        std::optional<TWaveFormat> audio;
        if (FClip.AudioChannels() > 0) {
            audio = MakeAudioFormat(FClip.AudioChannels());
            if (!audio) {
                Fail("unsupported audio channel count");
                return;
            }
            FHasAudio = true;
            {
                TLock lock(FLock);
                FAudioBuffer.assign(kAudioBufferSize, 0);
            }
            FAudioBytesPerFrame = AudioBytesPerVideoFrame(*audio, FClip.FrameRateIndex());
            FAudioStage.assign(FAudioBytesPerFrame, 0);
        }
        if (FClip.BitDepth() == 24 && FSettings.Move32b24b == nullptr) {
            Fail("the pixel library is not loaded");
            return;
        }

        auto pusher = std::make_unique<TAudioVideoFramePusher>(
            FClip.FrameRateIndex(), audio ? &*audio : nullptr, videoType);
        pusher->OnVideoFill = [this](uint8_t* buffer, size_t size) {
            return VideoFill(buffer, size);
        };
        pusher->OnAudioFill = [this](uint8_t* buffer, size_t size, size_t& written) {
            return AudioFill(buffer, size, written);
        };

        if (FSettings.Compressors == nullptr) {
            Fail("no compressor modules are loaded");
            return;
        }
        std::string error;
        std::unique_ptr<TCompressor> compressor = FSettings.Compressors->Create(
            FClip.CodecDisplayName(), FSettings.CompressorThreads, error);
        if (!compressor) {
            Fail(error);
            return;
        }
        compressor->SetOwnThread(FSettings.CompressOnOwnThread);
        auto mux = std::make_unique<TAVIMultiplexer>(FSettings.PartLimit);
        mux->SetOutputFileName(FClip.OutputPath());

        // Push source -> compressor -> multiplexer, and the audio pin straight to the
        // multiplexer's second input.
        TPushPin* videoPin = pusher->NextUnconnectedPin();
        if (!compressor->ConnectInput(videoType) || !videoPin->Connect(compressor.get())) {
            Fail("cannot connect the compressor: " + compressor->LastError());
            return;
        }
        IMediaInput* muxVideo = mux->ConnectVideo(compressor->OutputFormat());
        if (muxVideo == nullptr) {
            Fail("cannot connect the multiplexer");
            return;
        }
        compressor->ConnectOutput(muxVideo);
        if (audio) {
            TPushPin* audioPin = pusher->NextUnconnectedPin();
            IMediaInput* muxAudio = mux->ConnectAudio(*audio);
            if (audioPin == nullptr || muxAudio == nullptr || !audioPin->Connect(muxAudio)) {
                Fail("cannot connect the audio stream");
                return;
            }
        }

        mux->SetMasterStream(0);
        mux->SetOutputCompatibilityIndex(true);
        mux->SetExpectedFrames(static_cast<uint32_t>(std::max(FClip.Duration(), 0)));
        mux->SetInterleaving(imFull, videoType.Header.AvgTimePerFrame,
                             videoType.Header.AvgTimePerFrame);

        std::atomic<bool> graphError{false};
        mux->SetCompletion([this, &graphError](bool error) {
            if (error) {
                graphError.store(true);
            }
            FDoneEvent.Set();
        });
        auto deliveryFailed = [&graphError, this] {
            graphError.store(true);
            FDoneEvent.Set();
        };
        pusher->VideoPin().OnDeliveryFailed = deliveryFailed;
        compressor->OnFailed = deliveryFailed;
        if (pusher->AudioPin() != nullptr) {
            pusher->AudioPin()->OnDeliveryFailed = deliveryFailed;
        }

        if (!mux->Run()) {
            Fail("cannot run the graph: " + mux->LastError());
            return;
        }
        pusher->Run();
        FDoneEvent.Wait();
        FFinished.store(true);
        FAudioEvent.Set();
        // Stopping: the streaming threads end their streams, then the file is completed.
        pusher->Join();
        compressor->Stop();
        const bool written = mux->Stop();
        if (graphError.load()) {
            const std::string reason =
                !compressor->LastError().empty() ? compressor->LastError() : mux->LastError();
            Fail("rendering stopped: " + reason);
        } else if (!written) {
            Fail("cannot complete the output file: " + mux->LastError());
        } else if (!FCancelled.load() && !FFailed.load() &&
                   FFrameCounter.load() < FClip.Duration()) {
            Fail("the stream ended before the last frame");
        }
        pusher.reset();
        compressor.reset();
        mux.reset();

        if (!FCancelled.load() && !FFailed.load() && FClip.FieldMode() != 0) {
            // A failed patch leaves a playable file; it never fails the task.
            TOpenDMLPatcher patcher;
            patcher.Patch(
                FClip.OutputPath(),
                TOpenDMLPatcher::MakeProperties(FClip.Width(), FClip.Height(), FClip.FieldMode()));
        }
    } catch (const std::exception& e) {
        Fail(std::string("error in renderer: ") + e.what());
    }
}

bool TAVIRenderer::VideoFill(uint8_t* buffer, size_t size) {
    if (FTask != nullptr && FTask->CancelRequested()) {
        FCancelled.store(true);
        FAudioEvent.Set();
    }
    const int32_t counter = FFrameCounter.load();
    const int32_t duration = FClip.Duration();
    if (counter >= duration || FCancelled.load()) {
        FDoneEvent.Set();
        return false;
    }
    uint8_t* audioTarget = nullptr;
    int32_t audioSpace = 0;
    if (FHasAudio) {
        TLock lock(FLock);
        audioTarget = FAudioStage.data();
        audioSpace = static_cast<int32_t>(
            std::min<size_t>(FAudioBytesPerFrame, kAudioBufferSize - FAudioFill));
    }
    int32_t audioBytes = 0;
    bool ok = false;
    try {
        ok = FClip.FetchFrame(counter, audioTarget, audioSpace, audioBytes);
    } catch (const std::exception&) {
        // Reported below as the frame that could not be read.
        ok = false;
    }
    if (ok && FHasAudio && audioBytes > 0) {
        {
            // The audio thread may move the buffer's content meanwhile: append under the lock.
            TLock lock(FLock);
            const size_t n = std::min<size_t>(static_cast<size_t>(std::min(audioBytes, audioSpace)),
                                              kAudioBufferSize - FAudioFill);
            std::memcpy(FAudioBuffer.data() + FAudioFill, FAudioStage.data(), n);
            FAudioFill += n;
        }
        FAudioEvent.Set();
    }
    if (ok) {
        const int32_t width = FClip.Width();
        const int32_t height = FClip.Height();
        const int32_t stride = VideoStride(width, FClip.BitDepth());
        const uint8_t* source = FClip.FrameBuffer();
        int32_t sourcePitch = width * 4;
        const size_t rowBytes =
            std::min<size_t>(static_cast<size_t>(stride), static_cast<size_t>(sourcePitch));
        if (FClip.BitDepth() == 24) {
            const size_t needed = static_cast<size_t>(stride) * static_cast<size_t>(height);
            if (FScratch.size() < needed) {
                FScratch.assign(needed, 0);
            }
            FSettings.Move32b24b(source, sourcePitch, FScratch.data(), stride, width, height);
            source = FScratch.data();
            sourcePitch = stride;
        }
        // Samples hold bottom-up rows: the top row goes last.
        const size_t copy = FClip.BitDepth() == 24 ? static_cast<size_t>(stride) : rowBytes;
        for (int32_t row = 0; row < height; ++row) {
            const size_t at = static_cast<size_t>(height - 1 - row) * static_cast<size_t>(stride);
            if (at + copy > size) {
                break;
            }
            std::memcpy(buffer + at, source + static_cast<size_t>(row) * sourcePitch, copy);
        }
    }
    if (FTask != nullptr && duration > 0) {
        FTask->SetProgress(static_cast<float>(counter + 1) / static_cast<float>(duration) * 100.0f);
    }
    if (!ok) {
        Fail("frame " + std::to_string(counter) + " could not be read");
    }
    FFrameCounter.store(counter + 1);
    return ok;
}

bool TAVIRenderer::AudioFill(uint8_t* buffer, size_t size, size_t& written) {
    written = 0;
    if (!FHasAudio) {
        return true;
    }
    for (;;) {
        {
            TLock lock(FLock);
            if (FCancelled.load() || FFailed.load()) {
                return false;
            }
            if (FAudioFill > 0) {
                // At a normal end the audio still waiting is written before the stream ends.
                const size_t n = std::min(size, FAudioFill);
                std::memcpy(buffer, FAudioBuffer.data(), n);
                std::memmove(FAudioBuffer.data(), FAudioBuffer.data() + n, FAudioFill - n);
                FAudioFill -= n;
                written = n;
                return true;
            }
            if (FFinished.load()) {
                return false;
            }
        }
        FAudioEvent.WaitFor(std::chrono::milliseconds(1000));
    }
}
