#include "tesk_bench_peer.h"

#include <dlfcn.h>
#include <embree3/rtcore.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "tesk_math.h"

// Embree is loaded only when the peer runs: linked in, its libraries alone
// would add megabytes to the peak memory that tesk-bench reports for the
// project. Its documented C API, resolved by name.
struct t_embreeApi {
    decltype(&rtcNewDevice) newDevice;
    decltype(&rtcGetDeviceError) getDeviceError;
    decltype(&rtcSetDeviceErrorFunction) setDeviceErrorFunction;
    decltype(&rtcSetDeviceMemoryMonitorFunction) setDeviceMemoryMonitorFunction;
    decltype(&rtcReleaseDevice) releaseDevice;
    decltype(&rtcNewScene) newScene;
    decltype(&rtcReleaseScene) releaseScene;
    decltype(&rtcNewGeometry) newGeometry;
    decltype(&rtcSetNewGeometryBuffer) setNewGeometryBuffer;
    decltype(&rtcCommitGeometry) commitGeometry;
    decltype(&rtcAttachGeometry) attachGeometry;
    decltype(&rtcReleaseGeometry) releaseGeometry;
    decltype(&rtcCommitScene) commitScene;
    decltype(&rtcIntersect1) intersect1;
    decltype(&rtcIntersect8) intersect8;
};

struct t_peer {
    void* library;
    t_embreeApi rtc;
    RTCDevice device;
    RTCScene scene;
    int64_t memoryBytes;  // Embree's allocations now
    int64_t memoryPeakBytes;
    char error[200];      // first error Embree reported
};

namespace {

bool countMemory(void* userPtr, ssize_t bytes, bool /*post*/)
{
    t_peer* peer = (t_peer*)userPtr;
    peer->memoryBytes += bytes;
    if (peer->memoryBytes > peer->memoryPeakBytes)
        peer->memoryPeakBytes = peer->memoryBytes;
    return true;
}

void keepFirstError(void* userPtr, RTCError code, const char* str)
{
    t_peer* peer = (t_peer*)userPtr;
    if (!peer->error[0])
        snprintf(peer->error, sizeof peer->error, "%s (error %d)", str ? str : "", (int)code);
}

// Fills peer->rtc; false with the reason in peer->error.
bool loadEmbree(t_peer* peer)
{
    // Never unloaded: its thread library leaves exit handlers behind.
    peer->library = dlopen(EMBREE_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!peer->library) {
        snprintf(peer->error, sizeof peer->error, "%s", dlerror());
        return false;
    }
    bool ok = true;
    auto resolve = [&](auto* fn, const char* name) {
        void* sym = dlsym(peer->library, name);
        if (!sym && ok) {
            snprintf(peer->error, sizeof peer->error, "%s is missing", name);
            ok = false;
        }
        *fn = (std::remove_pointer_t<decltype(fn)>)sym;
    };
    t_embreeApi* rtc = &peer->rtc;
    resolve(&rtc->newDevice, "rtcNewDevice");
    resolve(&rtc->getDeviceError, "rtcGetDeviceError");
    resolve(&rtc->setDeviceErrorFunction, "rtcSetDeviceErrorFunction");
    resolve(&rtc->setDeviceMemoryMonitorFunction, "rtcSetDeviceMemoryMonitorFunction");
    resolve(&rtc->releaseDevice, "rtcReleaseDevice");
    resolve(&rtc->newScene, "rtcNewScene");
    resolve(&rtc->releaseScene, "rtcReleaseScene");
    resolve(&rtc->newGeometry, "rtcNewGeometry");
    resolve(&rtc->setNewGeometryBuffer, "rtcSetNewGeometryBuffer");
    resolve(&rtc->commitGeometry, "rtcCommitGeometry");
    resolve(&rtc->attachGeometry, "rtcAttachGeometry");
    resolve(&rtc->releaseGeometry, "rtcReleaseGeometry");
    resolve(&rtc->commitScene, "rtcCommitScene");
    resolve(&rtc->intersect1, "rtcIntersect1");
    resolve(&rtc->intersect8, "rtcIntersect8");
    return ok;
}

t_peer* failBuild(t_peer* peer, const char* what)
{
    fprintf(stderr, "tesk-bench: the peer failed to %s: %s\n", what,
            peer->error[0] ? peer->error : "no reason given");
    peerRelease(peer);
    return nullptr;
}

RTCRayHit worldRayHit(const t_ray* cameraRay, const t_matrix* matView)
{
    // The same world ray as the project's renderers compute.
    t_ray ray;
    transform(ray.x, matView, cameraRay->x);
    transformW(ray.w, matView, cameraRay->w);
    RTCRayHit rh;
    rh.ray.org_x = ray.x[0];
    rh.ray.org_y = ray.x[1];
    rh.ray.org_z = ray.x[2];
    rh.ray.tnear = 0.0f;
    rh.ray.dir_x = ray.w[0];
    rh.ray.dir_y = ray.w[1];
    rh.ray.dir_z = ray.w[2];
    rh.ray.time = 0.0f;
    rh.ray.tfar = INFINITY;
    rh.ray.mask = 0xffffffffu;
    rh.ray.id = 0;
    rh.ray.flags = 0;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    return rh;
}

}  // namespace

t_peer* peerBuild(const t_qkd* qkd, const char* maxIsa, t_peerInfo* info)
{
    t_peer* peer = (t_peer*)calloc(1, sizeof(t_peer));
    if (!peer) {
        fputs("tesk-bench: out of memory\n", stderr);
        return nullptr;
    }
    if (!loadEmbree(peer))
        return failBuild(peer, "load " EMBREE_LIBRARY);
    const t_embreeApi* rtc = &peer->rtc;
    // One thread for the build too, as the tree is built on one.
    char config[64];
    snprintf(config, sizeof config, "threads=1,max_isa=%s", maxIsa);
    peer->device = rtc->newDevice(config);
    if (!peer->device) {
        snprintf(peer->error, sizeof peer->error, "error %d",
                 (int)rtc->getDeviceError(nullptr));
        return failBuild(peer, "start");
    }
    rtc->setDeviceErrorFunction(peer->device, keepFirstError, peer);
    rtc->setDeviceMemoryMonitorFunction(peer->device, countMemory, peer);

    const unsigned int n = qkd->size;
    const unsigned int cells = n - 1;
    peer->scene = rtc->newScene(peer->device);
    RTCGeometry geom = rtc->newGeometry(peer->device, RTC_GEOMETRY_TYPE_TRIANGLE);
    float* vertices = (float*)rtc->setNewGeometryBuffer(geom, RTC_BUFFER_TYPE_VERTEX, 0,
                                                      RTC_FORMAT_FLOAT3, 3 * sizeof(float),
                                                      (size_t)n * n);
    unsigned int* triangles = (unsigned int*)rtc->setNewGeometryBuffer(
        geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned int),
        2 * (size_t)cells * cells);
    if (!vertices || !triangles) {
        rtc->releaseGeometry(geom);
        return failBuild(peer, "allocate its buffers");
    }
    // Samples where the map places them: row 0 at z = +s/2, column 0 at x = -s/2.
    const double halfS = 0.5 * (double)qkd->s;
    const double cellWidth = (double)qkd->s / (double)cells;
    for (unsigned int r = 0; r < n; ++r) {
        const float z = (float)(halfS - r * cellWidth);
        for (unsigned int c = 0; c < n; ++c) {
            float* v = vertices + 3 * ((size_t)r * n + c);
            v[0] = (float)(c * cellWidth - halfS);
            v[1] = qkd_sampleHeight(qkd, qkd->heightmap[(size_t)r * n + c]);
            v[2] = z;
        }
    }
    // Cell corners 0 upper-left, 1 upper-right, 2 lower-left, 3 lower-right;
    // triangles (0, 1, 2) and (2, 1, 3), as the leaves cut them.
    unsigned int* tri = triangles;
    for (unsigned int r = 0; r < cells; ++r) {
        for (unsigned int c = 0; c < cells; ++c) {
            const unsigned int v0 = r * n + c, v1 = v0 + 1, v2 = v0 + n, v3 = v2 + 1;
            tri[0] = v0, tri[1] = v1, tri[2] = v2;
            tri[3] = v2, tri[4] = v1, tri[5] = v3;
            tri += 6;
        }
    }
    rtc->commitGeometry(geom);
    rtc->attachGeometry(peer->scene, geom);
    rtc->releaseGeometry(geom);
    rtc->commitScene(peer->scene);
    if (rtc->getDeviceError(peer->device) != RTC_ERROR_NONE || peer->error[0])
        return failBuild(peer, "build");

    info->version = RTC_VERSION_STRING;
    info->numTriangles = 2 * (uint64_t)cells * cells;
    info->memoryPeakBytes = (uint64_t)peer->memoryPeakBytes;
    return peer;
}

uint64_t peerTraceSingle(t_peer* peer, const t_ray* p_rbuff, const t_matrix* matView,
                         unsigned int side, scalar* p_t)
{
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    uint64_t hits = 0;
    const size_t numRays = (size_t)side * side;
    for (size_t i = 0; i < numRays; ++i) {
        RTCRayHit rh = worldRayHit(&p_rbuff[i], matView);
        peer->rtc.intersect1(peer->scene, &context, &rh);
        const bool hit = rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
        hits += hit;
        p_t[i] = hit ? rh.ray.tfar : INFINITY;
    }
    return hits;
}

uint64_t peerTracePackets(t_peer* peer, const t_ray* p_rbuff, const t_matrix* matView,
                          unsigned int side, scalar* p_t)
{
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    context.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
    uint64_t hits = 0;
    RTCRayHit8 packet;
    memset(&packet, 0, sizeof packet);
    alignas(32) int valid[8];
    // Lane 4 * row + column of a 2 x 4 pixel block; lanes past the frame's
    // edge are masked off.
    for (unsigned int V = 0; V < side; V += 2) {
        for (unsigned int U = 0; U < side; U += 4) {
            for (int lane = 0; lane < 8; ++lane) {
                const unsigned int u = U + (lane & 3), v = V + (lane >> 2);
                valid[lane] = u < side && v < side ? -1 : 0;
                if (!valid[lane])
                    continue;
                const RTCRayHit rh = worldRayHit(&p_rbuff[(size_t)v * side + u], matView);
                packet.ray.org_x[lane] = rh.ray.org_x;
                packet.ray.org_y[lane] = rh.ray.org_y;
                packet.ray.org_z[lane] = rh.ray.org_z;
                packet.ray.tnear[lane] = rh.ray.tnear;
                packet.ray.dir_x[lane] = rh.ray.dir_x;
                packet.ray.dir_y[lane] = rh.ray.dir_y;
                packet.ray.dir_z[lane] = rh.ray.dir_z;
                packet.ray.time[lane] = rh.ray.time;
                packet.ray.tfar[lane] = rh.ray.tfar;
                packet.ray.mask[lane] = rh.ray.mask;
                packet.ray.id[lane] = rh.ray.id;
                packet.ray.flags[lane] = rh.ray.flags;
                packet.hit.geomID[lane] = RTC_INVALID_GEOMETRY_ID;
                packet.hit.instID[0][lane] = RTC_INVALID_GEOMETRY_ID;
            }
            peer->rtc.intersect8(valid, peer->scene, &context, &packet);
            for (int lane = 0; lane < 8; ++lane) {
                if (!valid[lane])
                    continue;
                const unsigned int u = U + (lane & 3), v = V + (lane >> 2);
                const bool hit = packet.hit.geomID[lane] != RTC_INVALID_GEOMETRY_ID;
                hits += hit;
                p_t[(size_t)v * side + u] = hit ? packet.ray.tfar[lane] : INFINITY;
            }
        }
    }
    return hits;
}

void peerRelease(t_peer* peer)
{
    if (!peer)
        return;
    if (peer->scene)
        peer->rtc.releaseScene(peer->scene);
    if (peer->device)
        peer->rtc.releaseDevice(peer->device);
    free(peer);
}
