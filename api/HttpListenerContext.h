// The five services handed to every HTTP connection; they live in the application object and outlive
// every connection.
#pragma once

class IState;
class IOfflineTranscode;
class IFileMaker;
class IEvents;
class IMetadataFactory;

struct HttpListenerContext {
    IState* State = nullptr;
    IOfflineTranscode* OfflineTranscode = nullptr;
    IFileMaker* FileMaker = nullptr;
    IEvents* Events = nullptr;
    IMetadataFactory* MetadataFactory = nullptr;
};
