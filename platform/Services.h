#pragma once
// The narrow interfaces through which the component reaches its host: graphics, the user
// interface toolkit, the run loop, crypto and certificate services. The component holds them
// only through this bundle; each has one default backend under platform/<backend>/, and a host
// with another toolkit swaps a backend here, never the component.

#include <memory>

namespace penwell {

class Graphics;
class Application;
class Device;
class RunLoop;
class Crypto;
class CertificateServices;
class CertificateStore;
class ResourceBundle;
class UuidGenerator;
class Cms;

struct Services {
    std::shared_ptr<Graphics> graphics;                  ///< bitmap contexts and images
    std::shared_ptr<Application> application;            ///< status-bar orientation, notifications
    std::shared_ptr<Device> device;                      ///< device kind (user-interface idiom)
    std::shared_ptr<RunLoop> runLoop;                    ///< main queue and one-shot timers
    std::shared_ptr<Crypto> crypto;                      ///< PBKDF2, AES-CBC, digests, random bytes
    std::shared_ptr<CertificateServices> certificates;   ///< X.509, trust, RSA
    std::shared_ptr<CertificateStore> certificateStore;  ///< the persistent certificate store
    std::shared_ptr<ResourceBundle> resources;  ///< the host's resource folder (Penwell.dat)
    std::shared_ptr<UuidGenerator> uuids;       ///< one-time passwords for the record's key
    std::shared_ptr<Cms> cms;                   ///< the evidence record's envelope and signature
};

}  // namespace penwell
