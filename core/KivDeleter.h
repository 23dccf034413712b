// Ownership of factory-made objects: interfaces have no virtual destructor, so an object is only ever
// deleted through its own Destroy, which the deleter of every factory's shared pointer calls:
//   boost::shared_ptr<IState>(new State(...), KivDeleter::deleter())
// (a Boost shared pointer hands the deleter the pointer it was made with, here the State*).
#pragma once

#include <boost/shared_ptr.hpp>

class KivDeleter {
public:
    virtual void Destroy() = 0;

    struct deleter {
        void operator()(KivDeleter* object) const {
            if (object) object->Destroy();
        }
    };

protected:
    ~KivDeleter() = default;
};
