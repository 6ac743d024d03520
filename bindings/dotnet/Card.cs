// Card.cs - a card found by Reader.Find().
using System;

namespace TqRwdDll
{
    /// <summary>A card found by Reader.Find().</summary>
    public sealed class Card
    {
        /// <summary>Card type, 2 bytes (04 00 for a Mifare Classic 1K).</summary>
        public byte[] Type { get; private set; }
        /// <summary>Serial number (UID), 4 bytes in arrival order.</summary>
        public byte[] Serial { get; private set; }
        /// <summary>Size byte of the select answer (SAK).</summary>
        public byte Size { get; private set; }
        /// <summary>The serial number as 8 upper-case hex digits.</summary>
        public string Uid { get { return BitConverter.ToString(Serial).Replace("-", ""); } }

        public Card(byte[] type, byte[] serial, byte size)
        {
            Type = type;
            Serial = serial;
            Size = size;
        }
    }
}
